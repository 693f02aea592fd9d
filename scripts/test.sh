#!/usr/bin/env bash
# Sets up, builds and runs every test: the optimised build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen

scripts/build.sh default
ctest --preset default

if [[ "${FWPROG_SKIP_ASAN:-0}" != 1 ]]; then
    scripts/build.sh asan
    ctest --preset asan
fi
