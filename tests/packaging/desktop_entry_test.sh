#!/usr/bin/env bash
# The menu entry passes desktop-file-validate and everything it names exists in
# the install: the program it starts and the icon in every size it comes in.
#   desktop_entry_test.sh STAGE_DIR APP_ID
set -euo pipefail
stage=$1 id=$2
entry=$stage/usr/share/applications/$id.desktop
status=0
fail() {
    echo "$*"
    status=1
}

[[ -f "$entry" ]] || { echo "no menu entry $entry"; exit 1; }
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"

key() { sed -n "s/^$1=//p" "$entry"; }
for program in "$(key Exec | cut -d' ' -f1)" "$(key TryExec)"; do
    [[ -x "$stage/usr/bin/$program" ]] || fail "the entry starts $program, which is not installed in /usr/bin"
done
[[ "$(key Exec)" == *" %f" ]] || fail "Exec takes no file: $(key Exec)"
# X11 desktops match the window to the entry by the window class, which Qt
# takes from the program's name.
[[ "$(key StartupWMClass)" == "$(key TryExec)" ]] || fail "StartupWMClass is not the program's name"

icon=$(key Icon)
[[ "$icon" == "$id" ]] || fail "Icon is $icon, not $id"
hicolor=$stage/usr/share/icons/hicolor
svg=$hicolor/scalable/apps/$icon.svg
file -b "$svg" | grep -q "SVG" || fail "no scalable icon $svg"
sizes=0
for png in "$hicolor"/*/apps/"$icon".png; do
    [[ -f "$png" ]] || continue
    folder=$(basename "$(dirname "$(dirname "$png")")")
    size=$(file -b "$png" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
    [[ "$size" == "$folder" ]] || fail "$png is ${size:-not a PNG}, its folder says $folder"
    sizes=$((sizes + 1))
done
((sizes >= 2)) || fail "only $sizes PNG sizes of the icon"
exit $status
