#!/usr/bin/env bash
# The staged install holds exactly the files of the expected list, with their
# modes: nothing missing, nothing extra, nothing executable that should not be.
#   install_manifest_test.sh STAGE_DIR MANIFEST
set -euo pipefail
stage=$1 manifest=$2

expected=$(grep -v -e '^#' -e '^$' "$manifest" | LC_ALL=C sort -k2)
installed=$(cd "$stage" && find . -mindepth 1 ! -type d -printf '%#m /%P\n' | LC_ALL=C sort -k2)
if [[ "$expected" != "$installed" ]]; then
    echo "The installed files differ from $manifest (- expected, + installed):"
    diff -u <(echo "$expected") <(echo "$installed") | tail -n +3
    exit 1
fi
# Directories the install made are searchable by everyone, writable by the owner only.
bad_dirs=$(cd "$stage" && find . -mindepth 1 -type d ! -perm 0755 -printf '%#m /%P\n')
if [[ -n "$bad_dirs" ]]; then
    echo "Directories without mode 0755:"
    echo "$bad_dirs"
    exit 1
fi
echo "$(wc -l <<<"$installed") files as listed"
