#!/usr/bin/env bash
# What `scripts/setup.sh` (without --tests) pulls into a bare Debian 12, counted
# by apt itself: a simulated install against an empty package database, of the
# packages every Debian system has (priority "required") with and without the
# run list. The run list stays within 260 packages there, and nothing it pulls
# in is one of the packages only the tests add.
#   setup_packages_test.sh SETUP_SCRIPT [LIMIT]
# Exits 77 (skipped) where apt has no package lists to answer from.
set -uo pipefail
setup=$1 limit=${2:-260}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/status"
: >"$work/extended_states"

run=$(bash "$setup" --print) || { echo "FAIL: $setup --print failed"; exit 1; }
all=$(bash "$setup" --print --tests) || { echo "FAIL: $setup --print --tests failed"; exit 1; }
[[ -n "$run" ]] || { echo "FAIL: $setup --print names no package"; exit 1; }
test_only=$(comm -13 <(sort -u <<<"$run") <(sort -u <<<"$all"))
[[ -n "$test_only" ]] || { echo "FAIL: --tests adds no package to the run list"; exit 1; }

if ! apt-cache show cmake >/dev/null 2>&1; then
    echo "SKIP: apt has no package lists (apt-get update)"
    exit 77
fi

# The packages of priority "required": what a bare Debian 12 starts from,
# with what they depend on.
mapfile -t required < <(apt-cache dumpavail |
    awk '/^Package: /{name=$2} /^Priority: required$/{print name}' | sort -u)
((${#required[@]} > 20)) || { echo "FAIL: no required packages found"; exit 1; }

# Package names a simulated install of its arguments would unpack.
simulate() {
    apt-get install -s --no-install-recommends \
        -o Dir::State::status="$work/status" \
        -o Dir::State::extended_states="$work/extended_states" \
        -o Debug::NoLocking=1 "$@" 2>"$work/apt.err" | awk '/^Inst /{print $2}' | sort -u
}
simulate "${required[@]}" >"$work/bare"
mapfile -t run_list <<<"$run"
simulate "${required[@]}" "${run_list[@]}" >"$work/with-run"
if [[ ! -s "$work/bare" || ! -s "$work/with-run" ]]; then
    echo "FAIL: apt could not simulate the install:"
    cat "$work/apt.err"
    exit 1
fi
comm -13 "$work/bare" "$work/with-run" >"$work/pulled"
count=$(wc -l <"$work/pulled")
echo "scripts/setup.sh pulls $count packages into a bare Debian 12 ($(wc -l <"$work/bare") there before)"

status=0
if ((count > limit)); then
    echo "FAIL: $count packages, more than $limit"
    status=1
fi
# A test-only package, or one of the big tools only the tests and checks use,
# must not come in through the run list's dependencies.
forbidden=$(sort -u <<<"$test_only"$'\nwine64\nclang-14\nlintian\ngoogletest\nxvfb\nnftables\ncups-daemon')
leaked=$(comm -12 "$work/pulled" <(sort -u <<<"$forbidden") | paste -s -d ' ')
if [[ -n "$leaked" ]]; then
    echo "FAIL: the run list pulls in test-only packages: $leaked"
    status=1
fi
exit $status
