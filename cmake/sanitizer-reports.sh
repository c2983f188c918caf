#!/bin/sh
# Runs one test of the sanitizer build and fails it when any process of the
# test wrote a sanitizer report: the test program itself, or a program it
# started (the update program, the update server) whose exit code the test
# may expect to be non-zero anyway. ASAN_OPTIONS and UBSAN_OPTIONS point the
# reports (log_path) into <reports directory>, which starts empty.
#
# Usage: sanitizer-reports.sh <reports directory> <test program> [arguments...]
set -u

reports=$1
shift
rm -rf "$reports"
mkdir -p "$reports"

"$@"
status=$?

found=0
for report in "$reports"/*; do
    [ -f "$report" ] || continue
    found=1
    echo "sanitizer-reports.sh: report $report:" >&2
    cat "$report" >&2
done
if [ "$found" -eq 1 ] && [ "$status" -eq 0 ]; then
    status=1
fi
exit "$status"
