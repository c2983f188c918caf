#!/bin/sh
# Runs one test in a network namespace of its own that holds nothing but a
# loopback interface. The tests stand in for the update server on its fixed
# UDP ports (17384, 2009), and every run of the program sends its banner
# query there; in a namespace of its own a test neither meets nor disturbs
# another run of the suite, the demo, or anything else on this host.
#
# Where the system allows it the test gets a mount namespace of its own too,
# and KV_PRIVATE_MOUNTS=1 says so: there a test may put files of its own
# over system ones (the resolver's settings, the trusted certificates) that
# only it sees (tests/support/privatemounts.h).
#
# Usage: private-network.sh <test program> [arguments...]
set -eu

if [ "${KV_PRIVATE_NETWORK:-}" = 1 ]; then
    if ! ip link set lo up; then
        echo "private-network.sh: cannot bring up loopback in the test's network namespace" >&2
        exit 1
    fi
    exec "$@"
fi

unset KV_PRIVATE_MOUNTS
# Root (as in CI) makes the namespace directly; another user needs a user
# namespace around it, which the kernel may refuse.
if [ "$(id -u)" -eq 0 ]; then
    namespace="--net"
else
    namespace="--user --map-root-user --net"
fi
# shellcheck disable=SC2086
if ! unshare $namespace true; then
    echo "private-network.sh: cannot create a network namespace (unshare $namespace)." >&2
    echo "The tests need one to use the update server's fixed ports without clashing" >&2
    echo "with other runs on this host: run them as root, or allow unprivileged user" >&2
    echo "namespaces (sysctl kernel.unprivileged_userns_clone=1)." >&2
    exit 1
fi
# shellcheck disable=SC2086
if unshare $namespace --mount true 2>/dev/null; then
    namespace="$namespace --mount"
    export KV_PRIVATE_MOUNTS=1
fi
export KV_PRIVATE_NETWORK=1
# shellcheck disable=SC2086
exec unshare $namespace "$0" "$@"
