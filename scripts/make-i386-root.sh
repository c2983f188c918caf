#!/bin/sh
# Makes the root that the 32-bit x86 build takes its libraries and headers
# from (cmake/toolchain-i386.cmake): Debian 12's i386 packages of Qt,
# LibTomCrypt and zlib with everything they depend on, unpacked into a
# directory of the project's own. A root of its own keeps the i386 packages
# apart from the host's: through multiarch every i386 library must have the
# very version of its x86-64 twin, which fails whenever the host holds an
# update whose i386 index cannot be had. Nothing in the root is configured or
# run: it is only read, by the compiler and by the loader of the programs the
# build makes, so it is made the same way on a host that cannot run 32-bit
# programs. Does nothing when the root is already there.
#
# Usage: make-i386-root.sh <directory>
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <directory>" >&2
    exit 2
fi
root=$1
suite=bookworm
mirror=http://deb.debian.org/debian
packages=qt6-base-dev,qt6-translations-l10n,libtomcrypt-dev,zlib1g-dev

# Made under another name and renamed when complete, so that an interrupted
# run never leaves a root that looks whole.
if [ -d "$root" ]; then
    exit 0
fi
partial="$root.partial"
rm -rf "$partial"

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

# --foreign only fetches, checks and unpacks the base: the packages asked for
# are fetched with it and unpacked below, as they are.
$SUDO debootstrap --arch=i386 --foreign --variant=minbase --include="$packages" \
    "$suite" "$partial" "$mirror"
for package in "$partial"/var/cache/apt/archives/*.deb; do
    # Debian 12 keeps /lib and the like as links into /usr: keep them.
    dpkg-deb --fsys-tarfile "$package" | $SUDO tar -C "$partial" --keep-directory-symlink -xf -
done
$SUDO rm -f "$partial"/var/cache/apt/archives/*.deb
$SUDO mv "$partial" "$root"
