#!/bin/sh
# The project's test command: builds and runs the whole CTest suite in each of
# these builds, every one in a build directory of its own, after installing
# the Debian packages that build needs:
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
# Each build installs its packages just before it starts, so packages that
# cannot be had (say the i386 ones) fail that build's set-up alone. A failed
# build or set-up does not stop the next build; the command fails when any of
# them failed, and the summary at the end says which, with apt's error lines.
set -eu

cd "$(dirname "$0")/.."

variants="${*:-native sanitize i386}"
for variant in $variants; do
    case "$variant" in
        native | sanitize | i386) ;;
        *)
            echo "usage: $0 [native] [sanitize] [i386]" >&2
            exit 2
            ;;
    esac
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' HUP INT TERM

# Installs the packages one build needs. apt's output stays on the terminal
# and is kept too, so that the summary can repeat apt's reason for a failure.
set_up_variant() {
    case "$1" in
        i386) set -- i386 ;;
        *) set -- ;;
    esac
    rm -f "$work/set-up-failed"
    # A pipeline's status is tee's, so the outcome goes through a file.
    { scripts/install-deps.sh "$@" 2>&1 || touch "$work/set-up-failed"; } |
        tee "$work/set-up.log"
    [ ! -e "$work/set-up-failed" ]
}

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
    reason=""
    if ! set_up_variant "$variant"; then
        outcome="set-up FAILED"
        failed="$failed, $variant (set-up)"
        # apt's error lines, each once (a retried update repeats them).
        reason=$(awk '/^E: / && !seen[$0]++ { print "    " $0 }' "$work/set-up.log")
    elif run_variant "$variant"; then
        outcome=passed
    else
        outcome=FAILED
        failed="$failed, $variant"
    fi
    summary="$summary
=== test.sh: $variant build $outcome ($(($(date +%s) - start)) s)"
    if [ -n "$reason" ]; then
        summary="$summary
$reason"
    fi
done

echo "$summary
=== test.sh: $(($(date +%s) - begin)) s in all"
if [ -n "$failed" ]; then
    echo "=== test.sh: failed: ${failed#, }" >&2
    exit 1
fi
