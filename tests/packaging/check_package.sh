#!/usr/bin/env bash
# Checks the Debian package scripts/package.sh made:
#  - lintian finds no error and no warning;
#  - it holds the files of packaging/install-manifest.txt and the Debian ones,
#    and its dependencies were derived by dpkg-shlibdeps;
#  - run as root on a machine without the package (CI), it installs with apt,
#    its programs run from /usr/bin, and purging it leaves nothing behind.
#   tests/packaging/check_package.sh [DEB]   (default: the one in build/package)
set -euo pipefail
cd "$(dirname "$0")/../.."
name=firmware-programmer
packages=(build/package/"${name}"_*.deb)
deb=${1:-${packages[0]}}
[[ -f "$deb" ]] || { echo "check_package: no package; run scripts/package.sh first" >&2; exit 1; }
deb=$(realpath "$deb")
fail() {
    echo "check_package: $*" >&2
    exit 1
}

work=$(mktemp -d)
installed=
cleanup() {
    if [[ -n "$installed" ]]; then
        apt-get purge -y -qq -o DPkg::Lock::Timeout=300 $name >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "check_package: lintian $(basename "$deb")"
lint=0
lintian --fail-on error,warning --info "$deb" >"$work/lintian.log" 2>&1 || lint=$?
grep -v '^running with root privileges' "$work/lintian.log" || true
((lint == 0)) || fail "lintian found errors or warnings"

# The package's files: the staged install's and the Debian changelog and overrides.
expected=$( (grep -v -e '^#' -e '^$' packaging/install-manifest.txt | cut -d' ' -f2
    echo /usr/share/doc/$name/changelog.Debian.gz
    echo /usr/share/lintian/overrides/$name) | LC_ALL=C sort)
packaged=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | LC_ALL=C sort)
if [[ "$expected" != "$packaged" ]]; then
    echo "The package's files differ from the expected ones (- expected, + packaged):"
    diff -u <(echo "$expected") <(echo "$packaged") | tail -n +3
    fail "unexpected package contents"
fi
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *"libc6 (>="* && "$depends" == *"libqt6widgets6 (>="* ]] ||
    fail "the dependencies do not look derived by dpkg-shlibdeps: $depends"

# Installing and removing for real changes the machine: only as root, and never
# over a copy of the package someone installed.
if [[ $(id -u) != 0 ]]; then
    echo "check_package: not root, so the install and removal check is left out"
    exit 0
fi
status=$(dpkg-query -W -f='${Status}' $name 2>/dev/null || true)
if [[ "$status" == *" installed" || "$status" == *"config-files" ]]; then
    echo "check_package: $name is already on this machine ($status), so the install and removal check is left out"
    exit 0
fi

# One check at a time on this machine, however many checkouts run it.
exec 9>/var/lock/fwprog-package-check.lock
flock -w 900 9 || fail "another package check holds /var/lock/fwprog-package-check.lock"

# What the package's own files and folders may leave behind is compared against
# a listing taken before; the desktop's caches that triggers refresh are not ours.
snapshot() {
    find /usr/bin /usr/share /etc -xdev 2>/dev/null |
        grep -v -E '/(mimeinfo\.cache|icon-theme\.cache)$' | LC_ALL=C sort
}
snapshot >"$work/before"

echo "check_package: apt-get install $(basename "$deb")"
export DEBIAN_FRONTEND=noninteractive
installed=1
apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "apt-get install failed"; }
[[ $(dpkg-query -W -f='${Status}' $name) == "install ok installed" ]] || fail "not installed"

version=$(dpkg-deb -f "$deb" Version)
reported=$(/usr/bin/fwprog --version)
[[ "$reported" == "Firmware Programmer Version ${version%-*}" ]] ||
    fail "fwprog --version says \"$reported\" in package version $version"
/usr/bin/fwprog-unit-sim --help >/dev/null || fail "fwprog-unit-sim --help failed"
for program in firmware-programmer fwprog fwprog-unit-sim; do
    if ldd /usr/bin/$program | grep -q 'not found'; then
        ldd /usr/bin/$program
        fail "$program misses libraries"
    fi
done
# The window starts and stays up until it is closed (here: killed).
mkdir "$work/home"
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config QT_QPA_PLATFORM=offscreen \
    /usr/bin/firmware-programmer >"$work/window.log" 2>&1 &
window=$!
sleep 3
if ! kill -0 $window 2>/dev/null; then
    wait $window || true
    cat "$work/window.log"
    fail "firmware-programmer ended at once"
fi
kill $window
wait $window 2>/dev/null || true
man -w fwprog >/dev/null || fail "man does not find fwprog(1)"
bash -c 'source /usr/share/bash-completion/completions/fwprog && complete -p fwprog' >/dev/null ||
    fail "the bash completion does not load"

echo "check_package: apt-get purge $name"
apt-get purge -y -qq -o DPkg::Lock::Timeout=300 $name >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log"; fail "apt-get purge failed"; }
installed=
status=$(dpkg-query -W -f='${Status}' $name 2>/dev/null || true)
[[ -z "$status" || "$status" == *"not-installed" ]] || fail "still known to dpkg after purging: $status"
ls /var/lib/dpkg/info/$name.* >/dev/null 2>&1 && fail "dpkg still holds files about $name"
snapshot >"$work/after"
if ! diff -u "$work/before" "$work/after" >"$work/left"; then
    tail -n +3 "$work/left"
    fail "installing and purging the package changed the file system (- gone, + left)"
fi
echo "check_package: installs, runs and purges cleanly"
