#!/usr/bin/env bash
# Runs a command (a Windows test program under Wine) beside simulated units of
# the native simulator, and ends the simulator afterwards. Under Wine a Windows
# program can start a Linux program, but neither TerminateProcess nor the end
# of the Windows program stops it, and its standard output does not reach the
# Windows side's pipe; so the simulator is started and ended here, and the
# tests read its events from a file.
#   with-native-simulator.sh SIMULATOR COMMAND...
set -euo pipefail
simulator=$1
shift
folder=$(mktemp -d)
pid=
finish() {
    if [[ -n "$pid" ]]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$folder"
}
trap finish EXIT

# Ports below the kernel's range for ephemeral ones, so that no other test's
# socket takes them meanwhile; several runs at once pick different ones.
base=$((20000 + ($$ % 3000) * 3))
units="127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5"
arguments=()
for unit in $units; do arguments+=(--unit "$unit"); done
"$simulator" "${arguments[@]}" --udp-port "$base" --tcp-port "$((base + 1))" \
    --status-port "$((base + 2))" >"$folder/events" 2>"$folder/errors" &
pid=$!
for _ in $(seq 100); do
    grep -q '"ready"' "$folder/events" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || { cat "$folder/errors" >&2; exit 1; }
    sleep 0.1
done

export FWPROG_SIM_EVENTS="$folder/events" FWPROG_SIM_UNITS="$units"
export FWPROG_SIM_UDP_PORT=$base FWPROG_SIM_TCP_PORT=$((base + 1)) FWPROG_SIM_STATUS_PORT=$((base + 2))
"$@"
