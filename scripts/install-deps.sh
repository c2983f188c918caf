#!/bin/sh
# Installs every Debian package that the build, the tests, the benchmarks and
# the demo need. Safe to run again: apt-get skips what is already there.
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

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# shellcheck disable=SC2086
$SUDO apt-get install -y --no-install-recommends $missing
