#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent and non-interactive; runs apt-get only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache git
    qt6-base-dev qt6-base-dev-tools libqt6test6
    qt6-base-private-dev  # window-system events in the widget tests
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libcups2-dev cups-daemon cups-client cups
    nettle-dev nlohmann-json3-dev  # SHA-256 (platform/Sha256), the batch report's JSON
    xvfb xauth xdotool imagemagick fonts-dejavu-core
    clang libclang-rt-14-dev  # the asan and fuzz presets
    clang-format  # scripts/format.sh
    iproute2 procps tzdata
    nftables  # a firewall inside a test's own network namespace
    dpkg-dev fakeroot file lintian desktop-file-utils appstream mandoc man-db librsvg2-bin
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev  # the windows preset's cross build
    wine wine64 libwine  # runs the Windows build's tests
    # Tests only: the Ansible collection's tests run ansible-playbook over SSH
    # against site hosts in private network namespaces, each with its own sshd.
    ansible ansible-lint openssh-server openssh-client
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
    echo "setup: all packages present"
fi
