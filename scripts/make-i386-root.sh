#!/bin/sh
# Makes the root that the 32-bit x86 build takes its libraries and headers
# from (cmake/toolchain-i386.cmake): Debian 12's i386 packages of Qt,
# LibTomCrypt, zlib and libcurl with everything they depend on, unpacked into
# a directory of the project's own. A root of its own keeps the i386 packages
# apart from the host's: through multiarch every i386 library must have the
# very version of its x86-64 twin, which fails whenever the host holds an
# update whose i386 index cannot be had. Nothing in the root is configured or
# run: it is only read, by the compiler and by the loader of the programs the
# build makes, so it is made the same way on a host that cannot run 32-bit
# programs.
#
# The root records the suite and packages it was made from. It does nothing
# when the root there was made from the ones below; a root made from others
# (an earlier list, without a library added since) is made again and then
# takes the old one's place.
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
packages=qt6-base-dev,qt6-translations-l10n,libtomcrypt-dev,zlib1g-dev,libcurl4-openssl-dev
stamp=korvalune-root.stamp
made_from="$suite $packages"

if [ -f "$root/$stamp" ] && [ "$(cat "$root/$stamp")" = "$made_from" ]; then
    exit 0
fi
# Only a root this script made is replaced: debootstrap --foreign leaves its
# second stage in it, for i386. Anything else there is not ours to remove.
if [ -e "$root" ] || [ -L "$root" ]; then
    if [ -L "$root" ] || [ ! -d "$root" ] ||
        [ "$(cat "$root/debootstrap/arch" 2>/dev/null)" != i386 ]; then
        echo "$0: $root is not an i386 root made by this script; move it away" >&2
        exit 1
    fi
    echo "$0: $root was made from other packages than these; making it again"
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

# Made under another name and renamed when complete, so that an interrupted
# run never leaves a root that looks whole; these names are this script's own
# and hold only what an interrupted run left.
partial="$root.partial"
retired="$root.old"
$SUDO rm -rf "$partial" "$retired"

# --foreign only fetches, checks and unpacks the base: the packages asked for
# are fetched with it and unpacked below, as they are.
$SUDO debootstrap --arch=i386 --foreign --variant=minbase --include="$packages" \
    "$suite" "$partial" "$mirror"
for package in "$partial"/var/cache/apt/archives/*.deb; do
    # Debian 12 keeps /lib and the like as links into /usr: keep them.
    dpkg-deb --fsys-tarfile "$package" | $SUDO tar -C "$partial" --keep-directory-symlink -xf -
done
$SUDO rm -f "$partial"/var/cache/apt/archives/*.deb
echo "$made_from" | $SUDO tee "$partial/$stamp" >/dev/null

# The old root goes aside before the new one takes its name: a run stopped in
# between leaves no root, which the next run makes again.
if [ -d "$root" ]; then
    $SUDO mv "$root" "$retired"
fi
$SUDO mv "$partial" "$root"
$SUDO rm -rf "$retired"
