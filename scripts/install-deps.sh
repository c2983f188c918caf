#!/bin/sh
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Safe to run again: when every package (and the i386 root,
# made from its current package list) is there it fetches nothing, not even
# the package indexes.
#
# Usage: install-deps.sh [i386]
#   i386  also what the 32-bit x86 build needs (cmake/toolchain-i386.cmake):
#         the i686 cross compiler, the emulator its tests run under where the
#         kernel does not run 32-bit programs, and the root of i386 libraries
#         it builds against, made into build-i386-root/ (make-i386-root.sh),
#         and made again when it was made from an earlier package list.
#
# A package index that cannot be downloaded (a mirror in the middle of a
# sync, a broken source entry) does not stop it: `apt-get update` is tried a
# few times, then apt-get install decides with the indexes it has, and its
# exit status is this script's.
set -eu

update_attempts=3
update_pause=10  # seconds; a mirror out of step usually catches up soon

PACKAGES="
build-essential
cmake
ninja-build
pkg-config
qt6-base-dev
qt6-tools-dev
qt6-tools-dev-tools
qt6-l10n-tools
qt6-translations-l10n
libtomcrypt-dev
zlib1g-dev
libcurl4-openssl-dev
openssl
curl
xvfb
xauth
fonts-dejavu-core
nginx-light
python3
iproute2
fusefat
dosfstools
"

I386_PACKAGES="
g++-i686-linux-gnu
debootstrap
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
fi

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

# Updates the package indexes and installs what is missing.
install_missing() {
    export DEBIAN_FRONTEND=noninteractive
    # Other apt runs on the same host hold its locks for a while: wait for them.
    wait_for_lock="-o DPkg::Lock::Timeout=300"

    attempt=1
    # shellcheck disable=SC2086
    until $SUDO apt-get $wait_for_lock update; do
        if [ "$attempt" -ge "$update_attempts" ]; then
            echo "install-deps.sh: warning: apt-get update failed $attempt times;" \
                "installing with the package indexes there are" >&2
            break
        fi
        attempt=$((attempt + 1))
        echo "install-deps.sh: apt-get update failed; trying again in $update_pause s" >&2
        sleep "$update_pause"
    done

    # shellcheck disable=SC2086
    $SUDO apt-get $wait_for_lock install -y --no-install-recommends --no-remove $missing
}

if [ -n "$missing" ]; then
    install_missing
fi
if $with_i386; then
    "$(dirname "$0")/make-i386-root.sh" "$(dirname "$0")/../build-i386-root"
fi
