#!/usr/bin/env bash
# Sets up, builds (the optimised "default" preset) and makes the Debian package
# with CPack: build/package/firmware-programmer_<version>-<revision>_<arch>.deb.
# Install it with `sudo apt install ./build/package/firmware-programmer_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default
out=build/package
rm -rf "$out"
cpack --config build/default/CPackConfig.cmake -B "$out"
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
