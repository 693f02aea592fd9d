#!/usr/bin/env bash
# Installs the build into a fresh staging folder under the prefix /usr, as the
# Debian package lays it out.
#   stage.sh CMAKE BUILD_DIR STAGE_DIR
set -euo pipefail
cmake=$1 build=$2 stage=$3
rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" --prefix /usr >/dev/null
