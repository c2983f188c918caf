#!/bin/bash
# Takes every figure of the performance targets, each by one command of a
# benchmark program from a Release build of its own, and prints a summary.
# Take figures that count on an otherwise idle machine: every program times
# the updater and the well-known tool side by side, in the same run, and
# reports medians, but a busy machine still skews the ratios.
#
#   bench/run-figures.sh [BUILD_DIR [ROUNDS [OUTPUT_DIR]]]
#
# (defaults: build-release, 3, the temporary directory). The downloads are
# written below OUTPUT_DIR: /dev/shm takes the disk out of their figures.
#
# Needs nginx, curl and md5sum (scripts/install-deps.sh installs them).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-release}
rounds=${2:-3}
output=()
if [ -n "${3:-}" ]; then
    output=(--output-dir "$3")
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

if ! { cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
       cmake --build "$build_dir" --target download-bench check-installation; } >"$logs/build" 2>&1; then
    cat "$logs/build"
    exit 1
fi

download="$build_dir/bench/download/download-bench"
check="$build_dir/bench/check-installation"

# run NAME COMMAND...: shows the command and its output, and keeps the output.
run() {
    local name=$1
    shift
    echo "\$ ${*/#$build_dir/BUILD_DIR}"
    "$@" | tee "$logs/$name"
    echo
}

run 1000x1MiB "$download" --files 1000 --size-kib 1024 --target 1.0 --rounds "$rounds" "${output[@]}"
run 200x5MiB "$download" --files 200 --size-kib 5120 --target 1.0 --rounds "$rounds" "${output[@]}"
run 10000x100KiB "$download" --files 10000 --size-kib 100 --target 1.0 --rounds "$rounds" "${output[@]}"
run 1000x100KiB "$download" --files 1000 --size-kib 100 --target 1.0 --rounds "$rounds" "${output[@]}"
run check10000 "$check" --files 10000 --total-mib 40 --big-mib 0 --rounds "$rounds"

# "per file <ms> ms" of the download step's summary line.
per_file() {
    sed -n 's/^ *download-step .* per file \([0-9.]*\) ms$/\1/p' "$logs/$1"
}

echo "Summary (medians of $rounds rounds):"
for name in 1000x1MiB 200x5MiB 10000x100KiB 1000x100KiB; do
    echo "  $name: $(sed -n 's/^  throughput ratio/throughput ratio/p' "$logs/$name");" \
         "$(sed -n 's/^  peak RSS of the download step/peak RSS/p' "$logs/$name")"
    echo "    $(sed -n 's/^  CPU time per MiB: //p' "$logs/$name")"
done
awk -v many="$(per_file 10000x100KiB)" -v few="$(per_file 1000x100KiB)" 'BEGIN {
    ratio = many / few
    printf "  time per file, 10000 against 1000 files of 100 KiB: %.3f (target <= 1.30): %s\n",
           ratio, ratio <= 1.3 ? "met" : "MISSED"
}'
echo "  list builder over 10000 small files against md5sum: $(sed -n 's/^  ratio *//p' "$logs/check10000")"
