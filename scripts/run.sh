#!/usr/bin/env bash
# Sets up, builds, starts simulated units on loopback and programs them: in the
# window when a display is available, otherwise from the command line.
#   scripts/run.sh          window if $DISPLAY is set, else the command-line demo
#   scripts/run.sh --cli    always the command-line demo
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_log=$(mktemp)
if ! scripts/build.sh default >"$build_log" 2>&1; then
    cat "$build_log"
    echo "run: the build failed" >&2
    exit 1
fi
rm -f "$build_log"

bin=build/default
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
    --unit 127.0.0.2 --product "Demo Interface 2.10" \
    --unit 127.0.0.3 --product "Demo Interface 2.10" --status 2 \
    --unit 127.0.0.4 --product "Demo Interface 1.95" \
    --unit 127.0.0.7 --product "Demo Interface 2.10" \
    >"$work/units.log" &
sim_pid=$!
sleep 0.5
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
"$fwprog" discover --wait 200 || true
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
