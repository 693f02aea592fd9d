#!/usr/bin/env bash
# The AppStream metainfo passes `appstreamcli validate` (no network), names the
# installed menu entry and programs, and its release is the version the
# programs report.
#   metainfo_test.sh STAGE_DIR APP_ID
set -euo pipefail
stage=$1 id=$2
metainfo=$stage/usr/share/metainfo/$id.metainfo.xml
status=0
fail() {
    echo "$*"
    status=1
}

[[ -f "$metainfo" ]] || { echo "no metainfo $metainfo"; exit 1; }
appstreamcli validate --no-net --strict "$metainfo" || fail "appstreamcli rejects $metainfo"

element() { sed -n "s|.*<$1[^>]*>\([^<]*\)</$1>.*|\1|p" "$metainfo"; }
[[ "$(element id)" == "$id" ]] || fail "the component id is $(element id), not $id"
launchable=$(element launchable)
[[ -f "$stage/usr/share/applications/$launchable" ]] || fail "the launchable $launchable is not installed"
for binary in $(element binary); do
    [[ -x "$stage/usr/bin/$binary" ]] || fail "provides $binary, which is not installed"
done
grep -q "<screenshot type=\"default\">" "$metainfo" || fail "no default screenshot"

release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
reported=$("$stage/usr/bin/fwprog" --version)
[[ "$reported" == *" Version $release" ]] ||
    fail "the newest release is $release, but fwprog --version says \"$reported\""
exit $status
