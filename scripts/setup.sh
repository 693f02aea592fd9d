#!/usr/bin/env bash
# Installs the Debian packages this project needs. Idempotent and
# non-interactive; runs apt-get only when something is missing.
#   scripts/setup.sh                 building, running and packaging the programs
#                                    (scripts/run.sh, scripts/package.sh)
#   scripts/setup.sh --tests         that and what the tests, the checks and the
#                                    other builds add (scripts/test.sh, CI)
#   scripts/setup.sh --print [--tests]   names the packages, one a line; installs nothing
# tests/scripts/setup_packages_test.sh counts what the first pulls into a bare Debian 12.
set -euo pipefail

with_tests=0
print_only=0
for argument in "$@"; do
    case $argument in
        --tests) with_tests=1 ;;
        --print) print_only=1 ;;
        *)
            echo "setup: unknown argument: $argument (--tests, --print)" >&2
            exit 2
            ;;
    esac
done

# What building the three programs, running them and making the Debian package need.
run_packages=(
    build-essential cmake ninja-build pkg-config ccache
    qt6-base-dev qt6-base-dev-tools fonts-dejavu-core  # the window and its text
    libcups2-dev nettle-dev nlohmann-json3-dev  # print queues, SHA-256, the JSON output
    tzdata  # the zone fwprog timestamp sends
    dpkg-dev fakeroot file librsvg2-bin  # scripts/package.sh: shlibdeps, the rendered icons
)

# What the tests, the checks and the other builds add (--tests). Packages the
# checks use that the list above has already are named again where they belong.
packages=(
    git
    qt6-base-private-dev  # window-system events in the widget tests
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    cups-daemon cups-client cups  # a private scheduler for the print-queue tests
    xvfb xauth xdotool imagemagick
    clang libclang-rt-14-dev  # the asan and fuzz presets
    clang-format  # scripts/format.sh
    iproute2  # the tests' own network namespaces
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
    ((with_tests)) || break
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
for package in "${run_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((print_only)); then
    printf '%s\n' "${run_packages[@]}"
    if ((with_tests)); then printf '%s\n' "${packages[@]}"; fi
    exit 0
fi

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
