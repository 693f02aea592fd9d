#!/usr/bin/env bash
# Checks that every C++ file in the repository is formatted as .clang-format
# says; with --fix, formats them in place instead.
#   scripts/format.sh          check (what scripts/test.sh runs); exit 1 on any difference
#   scripts/format.sh --fix    format every file
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [[ "${1:-}" == --fix ]]; then
    clang-format -i "${files[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "format: the files above differ from .clang-format; run scripts/format.sh --fix" >&2
    exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
