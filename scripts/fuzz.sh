#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS]   (default 30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
status=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [[ -x "$target" ]] || continue
    name=$(basename "$target")
    seeds=tests/fuzz/corpus/${name#fuzz_}
    work=$(mktemp -d)
    [[ -d "$seeds" ]] && cp -r "$seeds"/. "$work"/
    echo "fuzz: $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="build/fuzz/$name-" "$work" >"build/fuzz/$name.log" 2>&1; then
        echo "fuzz: $name FOUND A FAILURE; see build/fuzz/$name.log and build/fuzz/$name-*"
        tail -n 30 "build/fuzz/$name.log"
        status=1
    else
        grep -E '^(#[0-9]+|Done)' "build/fuzz/$name.log" | tail -n 1 || true
    fi
    rm -rf "$work"
done
exit $status
