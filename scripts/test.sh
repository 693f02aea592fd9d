#!/usr/bin/env bash
# Sets up, checks the formatting, builds and runs every test: the optimised
# build (GCC), the Debian package made from it (lintian; as root, also installed
# with apt and purged again), the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer (Clang), and each fuzz target for a bounded time.
# Every build treats warnings as errors, so GCC and Clang both keep the tree
# warning-free.
# Last, the Windows build (mingw-w64 cross build) and its tests under Wine,
# which drive fwprog.exe with the optimised build's integration tests.
#   FWPROG_SKIP_ASAN=1       leave out the sanitizer build
#   FWPROG_SKIP_WINDOWS=1    leave out the Windows build
#   FWPROG_FUZZ_SECONDS=N    seconds per fuzz target (default 30; 0 leaves fuzzing out)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
export QT_QPA_PLATFORM=offscreen
start=$SECONDS

scripts/format.sh

scripts/build.sh default
ctest --preset default
echo "test: optimised build and tests took $((SECONDS - start)) s"

scripts/package.sh
tests/packaging/check_package.sh
echo "test: with the package, $((SECONDS - start)) s so far"

if [[ "${FWPROG_SKIP_ASAN:-0}" != 1 ]]; then
    # Everything is built, so Clang's warnings cover the whole tree.
    cmake --preset asan >/dev/null
    cmake --build --preset asan
    ctest --preset asan
    echo "test: with the sanitizers, $((SECONDS - start)) s so far"
fi

fuzz_seconds=${FWPROG_FUZZ_SECONDS:-30}
if [[ "$fuzz_seconds" != 0 ]]; then
    scripts/fuzz.sh "$fuzz_seconds"
fi
if [[ "${FWPROG_SKIP_WINDOWS:-0}" != 1 ]]; then
    windows_start=$SECONDS
    cmake --preset windows >/dev/null
    cmake --build --preset windows
    ctest --preset windows
    echo "test: the Windows build and its tests under Wine took $((SECONDS - windows_start)) s"
fi
echo "test: everything took $((SECONDS - start)) s"
