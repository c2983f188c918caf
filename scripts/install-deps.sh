#!/bin/sh
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Safe to run again: apt-get skips what is already there.
#
# Usage: install-deps.sh [i386]
#   i386  also what the 32-bit x86 build needs (cmake/toolchain-i386.cmake):
#         the i686 cross compiler and the i386 libraries, through Debian's
#         multiarch, and the emulator its tests run under where the kernel
#         does not run 32-bit programs. Installing an i386 library upgrades
#         its x86-64 twin to the same version; nothing is removed.
set -eu

PACKAGES="
build-essential
cmake
ninja-build
pkg-config
qt6-base-dev
qt6-tools-dev
qt6-tools-dev-tools
qt6-l10n-tools
libtomcrypt-dev
zlib1g-dev
openssl
curl
xvfb
xauth
fonts-dejavu-core
nginx-light
python3
iproute2
"

I386_PACKAGES="
g++-i686-linux-gnu
qt6-base-dev:i386
libtomcrypt-dev:i386
zlib1g-dev:i386
qemu-user
file
"

with_i386=false
for argument in "$@"; do
    case "$argument" in
        i386) with_i386=true ;;
        *)
            echo "usage: $0 [i386]" >&2
            exit 2
            ;;
    esac
done

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

if $with_i386; then
    PACKAGES="$PACKAGES $I386_PACKAGES"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $SUDO dpkg --add-architecture i386
    fi
fi

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends --no-remove $missing
