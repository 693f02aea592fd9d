#!/bin/sh
# Takes a picture of the programmer's window on a virtual X display and writes
# it to docs/screenshot.png. An argument beginning with "/" would be taken as an
# option, so the image shown is named relative.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
program=$build/app/firmware-programmer
out=$root/docs/screenshot.png

if [ ! -x "$program" ]; then
    echo "no $program; build the firmware-programmer target first" >&2
    exit 1
fi
mkdir -p "$root/docs"

# A settings directory of its own, so the picture never shows this user's target
# and the run leaves nothing behind.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT

XDG_CONFIG_HOME=$config QT_QPA_PLATFORM=xcb PROGRAM=$program OUT=$out \
    xvfb-run --auto-servernum --server-args='-screen 0 640x280x24' sh -c '
        "$PROGRAM" "firmware/unit.WQ1" &
        pid=$!
        sleep 3
        import -window root "$OUT"
        kill "$pid"
        wait "$pid" 2>/dev/null || true
    '
echo "wrote $out"
