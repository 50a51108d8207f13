#!/usr/bin/env bash
# Installs the Debian 12 packages lumbra needs that are not installed yet.
#   install-deps.sh          what building and running the programs needs
#   install-deps.sh --tests  also what the whole test suite needs
#   install-deps.sh --windows what the Windows cross builds and their tests
#                            under Wine need (scripts/build-windows)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libhidapi-dev fonts-liberation2
  libcli11-dev nlohmann-json3-dev  # lumbra-cli's command line and JSON (header-only)
  libboost-dev                     # HTTP for the station page (header-only)
  libpq-dev                        # the line's PostgreSQL database (records push/query/stats, watch --db)
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [[ "${1:-}" == "--windows" ]]; then
  packages=(
    cmake ninja-build g++ googletest
    libcli11-dev nlohmann-json3-dev                       # header-only, used by lumbra-cli.exe too
    libboost-dev                                          # HTTP for the station page (header-only)
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix  # the cross compilers
    nsis                                                  # the installers
    wine64 xvfb xauth                                     # the tests, under Wine and Xvfb
    qemu-system-x86 busybox-static cpio                   # and on Wine's HID stack in a VM
  )
fi
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(
    xvfb xauth                                # screenshots and the demo without a display
    clang-14 libclang-rt-14-dev               # fuzzing and sanitizers
    qemu-system-x86 busybox-static cpio xz-utils zstd  # the system test on a real kernel
    dpkg-dev lintian desktop-file-utils appstream man-db x11-utils  # the package test
    chromium chromium-driver python3-selenium  # the station page in a real browser
    postgresql-15                             # the database tests' own server (not started as a service by them)
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
