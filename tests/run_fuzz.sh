#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the inputs kept from earlier finds
# (fuzz/regressions), then fuzzes each target for a bounded time from its
# committed seeds (fuzz/corpus). Any crash, hang, leak or sanitizer report
# fails the run; the input that caused it is printed and kept under the
# build folder.
#
# usage: tests/run_fuzz.sh [BUILD_DIR]     (default: build-fuzz)
#   LINKSNAP_FUZZ_SECONDS  fuzzing time per target (default 20)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-fuzz}
seconds=${LINKSNAP_FUZZ_SECONDS:-20}
targets=(state_file arguments report catalog checksums)

# clang and libFuzzer come from Debian's clang and libclang-rt-14-dev.
fuzzer_links() {
    command -v clang++ >/dev/null &&
        echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null
}
if ! fuzzer_links; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
    fi
    fuzzer_links || { echo "run_fuzz: clang with libFuzzer is missing (packages clang, libclang-rt-14-dev)" >&2; exit 1; }
fi

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
    -DLINKSNAP_FUZZ=ON -DLINKSNAP_WERROR=ON -DLINKSNAP_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

# The targets write state files, and the writer waits for the disk: a
# memory file system keeps them fast where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

status=0
for target in "${targets[@]}"; do
    program="$build/fuzz/fuzz_$target"
    work="$build/fuzz-run/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/found"
    regressions="$root/fuzz/regressions/$target"
    seeds="$root/fuzz/corpus/$target"
    log="$work/log"
    echo "fuzz_$target: replaying kept inputs, then fuzzing for $seconds s"
    # New inputs go to the first folder only: the committed ones stay as they are.
    if { [ ! -d "$regressions" ] || "$program" -runs=0 "$regressions" >"$log" 2>&1; } &&
        "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
            -artifact_prefix="$work/found/" -print_final_stats=1 \
            "$work/corpus" "$seeds" >>"$log" 2>&1; then
        grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/  /" || true
    else
        status=1
        echo "fuzz_$target FAILED:" >&2
        tail -40 "$log" >&2
        for input in "$work"/found/*; do
            [ -e "$input" ] || continue
            echo "  input kept at $input:" >&2
            od -c "$input" | head -20 >&2
        done
    fi
done
exit $status
