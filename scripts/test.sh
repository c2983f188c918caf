#!/bin/sh
# The project's test command: installs the dependencies, then builds and runs
# the whole CTest suite in each of these builds, every one in a build
# directory of its own:
#
#   native    x86-64, into build/
#   sanitize  x86-64 with AddressSanitizer and UndefinedBehaviorSanitizer
#             (KORVALUNE_SANITIZE), into build-sanitize/; any report fails
#   i386      32-bit x86, the program's own platform
#             (cmake/toolchain-i386.cmake), into build-i386/
#
# All are debug builds, so that the invariants written as Q_ASSERT are checked
# while the tests run.
#
# Usage: scripts/test.sh [native] [sanitize] [i386]     (none: all three)
#
# A failed build does not stop the next one; the command fails when any of
# them failed.
set -eu

cd "$(dirname "$0")/.."

variants="${*:-native sanitize i386}"
needs_i386=""
for variant in $variants; do
    case "$variant" in
        native | sanitize) ;;
        i386) needs_i386=i386 ;;
        *)
            echo "usage: $0 [native] [sanitize] [i386]" >&2
            exit 2
            ;;
    esac
done

scripts/install-deps.sh $needs_i386

# The program that the i386 build makes must really be one for 32-bit x86.
check_i386_program() {
    description=$(file -b "$1/src/ui/update")
    echo "$1/src/ui/update: $description"
    case "$description" in
        "ELF 32-bit LSB"*"Intel 80386"*) return 0 ;;
    esac
    echo "test.sh: $1/src/ui/update is not a 32-bit x86 program" >&2
    return 1
}

# Configures, builds and tests one variant.
run_variant() {
    case "$1" in
        native) directory=build options="" ;;
        sanitize) directory=build-sanitize options="-DKORVALUNE_SANITIZE=ON" ;;
        i386) directory=build-i386 options="-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-i386.cmake" ;;
    esac
    # shellcheck disable=SC2086
    cmake -S . -B "$directory" -G Ninja -DCMAKE_BUILD_TYPE=Debug $options || return 1
    cmake --build "$directory" || return 1
    if [ "$1" = i386 ]; then
        check_i386_program "$directory" || return 1
    fi
    (cd "$directory" && ctest --output-on-failure --parallel "$(nproc)" --timeout 300)
}

failed=""
summary=""
begin=$(date +%s)
for variant in $variants; do
    echo "=== test.sh: $variant build"
    start=$(date +%s)
    if run_variant "$variant"; then
        outcome=passed
    else
        outcome=FAILED
        failed="$failed $variant"
    fi
    summary="$summary
=== test.sh: $variant build $outcome ($(($(date +%s) - start)) s)"
done

echo "$summary
=== test.sh: $(($(date +%s) - begin)) s in all"
if [ -n "$failed" ]; then
    echo "=== test.sh: failed:$failed" >&2
    exit 1
fi
