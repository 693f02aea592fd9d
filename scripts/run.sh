#!/usr/bin/env bash
# Sets up, builds, starts simulated units on loopback and programs them: in the
# window when a display is available, otherwise from the command line.
#   scripts/run.sh          window if $DISPLAY is set, else the command-line demo
#   scripts/run.sh --cli    always the command-line demo
# Only what building and running need is installed (scripts/setup.sh without
# --tests), and only the three programs are built, not the tests.
#   FWPROG_RUN_BUILD=DIR    use the programs already built in DIR: no set-up, no build
# The units use the ports FWPROG_UNIT_UDP_PORT, FWPROG_UNIT_TCP_PORT and
# FWPROG_STATUS_PORT name (fwprog reads the same), else the usual ones.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -n "${FWPROG_RUN_BUILD:-}" ]]; then
    bin=$FWPROG_RUN_BUILD
else
    scripts/setup.sh
    build_log=$(mktemp)
    if ! { cmake --preset default && cmake --build --preset default --target \
        firmware-programmer fwprog fwprog-unit-sim; } >"$build_log" 2>&1; then
        cat "$build_log"
        echo "run: the build failed" >&2
        exit 1
    fi
    rm -f "$build_log"
    bin=build/default
fi
work=$(mktemp -d /tmp/fwprog-demo-XXXXXX)
sim_pid=
cleanup() {
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Everything stays on loopback: broadcasts go to 127.255.255.255.
export FWPROG_BROADCAST=127.255.255.255

head -c 400000 /dev/urandom >"$work/demo.WQ1"
printf '127.0.0.2\r\n127.0.0.3\r\n127.0.0.4\r\n' >"$work/units.txt"

"$bin/sim/fwprog-unit-sim" \
    --udp-port "${FWPROG_UNIT_UDP_PORT:-6000}" --tcp-port "${FWPROG_UNIT_TCP_PORT:-9100}" \
    --status-port "${FWPROG_STATUS_PORT:-40001}" \
    --unit 127.0.0.2 --product "Demo Interface 2.10" \
    --unit 127.0.0.3 --product "Demo Interface 2.10" --status 2 \
    --unit 127.0.0.4 --product "Demo Interface 1.95" \
    --unit 127.0.0.7 --product "Demo Interface 2.10" \
    >"$work/units.log" 2>"$work/units.err" &
sim_pid=$!

# Waits until the simulator's first line, its "ready" event, says that every
# unit has its sockets, or until it has exited (it could not bind them); at
# most 30 s. True when the units are ready.
wait_for_units() {
    local tries=0
    while ((tries < 300)); do
        if head -n 1 "$work/units.log" 2>/dev/null | grep -q '"event": *"ready"'; then
            return 0
        fi
        if ! kill -0 "$sim_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    return 1
}
if ! wait_for_units; then
    {
        echo "run: the simulated units could not start:"
        sed 's/^/run:   /' "$work/units.err"
        echo "run: another simulator (or another program) probably holds their addresses and"
        echo "run: ports; stop it, or choose other ports with FWPROG_UNIT_UDP_PORT,"
        echo "run: FWPROG_UNIT_TCP_PORT and FWPROG_STATUS_PORT"
    } >&2
    exit 1
fi
echo "Simulated units: 127.0.0.2, 127.0.0.3 (reports a verify error), 127.0.0.4, 127.0.0.7"

if [[ "${1:-}" != --cli && -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "Opening the window with the image $work/demo.WQ1; type 127.0.0.7 and press Enter,"
    echo "or use Find beside the target to discover the simulated units."
    "$bin/app/firmware-programmer" "$work/demo.WQ1"
    exit 0
fi

fwprog=$bin/cli/fwprog
echo
echo "\$ fwprog discover"
"$fwprog" discover || true
echo
echo "\$ fwprog single --image demo.WQ1 --target 127.0.0.7"
"$fwprog" single --image "$work/demo.WQ1" --target 127.0.0.7 || true
echo
echo "\$ fwprog multiple --image demo.WQ1 --list units.txt --jobs 3"
"$fwprog" multiple --image "$work/demo.WQ1" --list "$work/units.txt" --jobs 3 || true
echo
echo "\$ fwprog timestamp --yes --json"
"$fwprog" timestamp --yes --json || true
echo
echo "Status.txt:"
tr -d '\r' <"$work/Status.txt" 2>/dev/null || true
echo
echo "What the simulated units saw:"
cat "$work/units.log"
