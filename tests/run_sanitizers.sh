#!/usr/bin/env bash
# Builds linksnap and its whole Linux test suite (unit and end-to-end) with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs it. Any report
# fails the run, also one from a run whose exit code a test does not look
# at: every report goes to a file, and the run fails when any file is there.
#
# Then the end-to-end suite (and the unit tests of the threads' parts)
# again under ThreadSanitizer, in BUILD_DIR-thread: the walk runs on
# several threads there.
#
# usage: tests/run_sanitizers.sh [BUILD_DIR]   (default: build-sanitize)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-sanitize}

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
# clang where it is installed (tests/run_fuzz.sh needs it too): its
# UndefinedBehaviorSanitizer writes its reports to the report files, while
# g++'s, beside AddressSanitizer, writes them to standard error only (the
# exit code below still gives such a report away).
if [ -z "${CXX:-}" ] && command -v clang++ >/dev/null; then
    export CC=clang CXX=clang++
fi
cmake -S "$root" -B "$build" "${generator[@]}" -DLINKSNAP_SANITIZE=ON -DLINKSNAP_WERROR=ON >/dev/null
cmake --build "$build" -j2

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# Some end-to-end runs drop their privileges; they must be able to report too.
chmod 1777 "$reports"

# exitcode 86: a report is never mistaken for the program's own exit code 1.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:exitcode=86:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$reports/ubsan"
export LSAN_OPTIONS="exitcode=86"

# The deep-tree test runs shallower here: deep enough that the walk closes
# and reopens folders, without its minutes under the sanitizers.
export DEEP_SHORT_LEVELS=600 DEEP_LEVELS=2000
# One stress run, with time for the sanitizers' slowness.
export STRESS_RUNS=1 STRESS_TIMEOUT=600

status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=1

thread_build="$build-thread"
cmake -S "$root" -B "$thread_build" "${generator[@]}" -DLINKSNAP_TSAN=ON -DLINKSNAP_WERROR=ON >/dev/null
cmake --build "$thread_build" -j2
export TSAN_OPTIONS="halt_on_error=1:exitcode=86:log_path=$reports/tsan"
ctest --test-dir "$thread_build" --output-on-failure -j2 -R 'e2e_|OrderedOutput|ContentCopy' || status=1

if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "---- $report" >&2
        cat "$report" >&2
    done
    status=1
fi
exit $status
