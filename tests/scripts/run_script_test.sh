#!/usr/bin/env bash
# scripts/run.sh stops, with a clear message, when its simulated units cannot
# start: a simulator of the test's own holds the first unit's address and ports.
# run.sh runs on the build at hand (FWPROG_RUN_BUILD) on ports of the test's
# choosing, which fwprog and the simulator both take from the environment.
#   run_script_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1 build=$2
sim=$build/sim/fwprog-unit-sim
[[ -x "$sim" ]] || { echo "FAIL: $sim is not built"; exit 1; }

work=$(mktemp -d)
holder_pid=
cleanup() {
    if [[ -n "$holder_pid" ]]; then
        kill "$holder_pid" 2>/dev/null
        wait "$holder_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Holds 127.0.0.2 on ports picked at random; another pick when they are taken.
started=0
for _ in 1 2 3 4 5; do
    udp=$((20000 + RANDOM % 20000)) tcp=$((20000 + RANDOM % 20000)) status=$((20000 + RANDOM % 20000))
    "$sim" --udp-port "$udp" --tcp-port "$tcp" --status-port "$status" --unit 127.0.0.2 \
        >"$work/holder.log" 2>"$work/holder.err" &
    holder_pid=$!
    for _ in $(seq 100); do
        grep -q '"event": *"ready"' "$work/holder.log" 2>/dev/null && break
        kill -0 "$holder_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q '"event": *"ready"' "$work/holder.log"; then
        started=1
        break
    fi
    wait "$holder_pid" 2>/dev/null
    holder_pid=
done
((started)) || { echo "FAIL: the holding simulator did not start: $(cat "$work/holder.err")"; exit 1; }

FWPROG_RUN_BUILD=$build FWPROG_UNIT_UDP_PORT=$udp FWPROG_UNIT_TCP_PORT=$tcp \
    FWPROG_STATUS_PORT=$status timeout 60 bash "$source_dir/scripts/run.sh" --cli \
    >"$work/out" 2>"$work/err" </dev/null
code=$?

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
((code == 1)) || fail "run.sh exited with $code, not 1"
grep -q "^run: the simulated units could not start:" "$work/err" ||
    fail "no message that the units could not start"
grep -q "Address already in use" "$work/err" || fail "the simulator's reason is not shown"
grep -q '\$ fwprog' "$work/out" && fail "fwprog ran against units that are not there"
grep -q "firewall" "$work/out" "$work/err" && fail "a firewall hint for units that never started"
if ((failures > 0)); then
    echo "--- stdout"; cat "$work/out"
    echo "--- stderr"; cat "$work/err"
    exit 1
fi
echo "run.sh stopped as it should:"
cat "$work/err"
