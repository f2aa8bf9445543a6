#!/usr/bin/env bash
# The walk on eight threads against a reader that comes late and reads
# slowly: every run must end, with its whole output, whatever the timing.
# The output bound is set low (LINKSNAP_OUTPUT_LIMIT), so that producers
# run into it all the time while jobs are handed out: the moment where a
# producer could once wait while the emitter waited for its text.
. "$(dirname "$0")/lib.sh"

if on_windows; then
    echo "skipped: the stress runs take the Linux build (the Wine runs are too slow for it)"
    exit 77
fi
command -v python3 >/dev/null || { echo "skipped: the slow reader needs python3"; exit 77; }

RUNS=${STRESS_RUNS:-3}
# Seconds a run may take before it counts as hung (more under the sanitizers).
LIMIT=${STRESS_TIMEOUT:-60}

case_begin "eight workers, output read late and slowly, never hang"
src="$CASE_DIR/src"
# Some ten thousand files in eight hundred folders, with long names, so that
# every line is long and many folders are offered to the workers.
long=$(printf 'm%.0s' $(seq 1 200))
for a in $(seq 1 40); do
    for b in $(seq 1 20); do
        dir="$src/a${a}_$long/b${b}_$long/c_$long/d_$long/e_$long/f_$long"
        mkdir -p "$dir"
        for k in $(seq 1 13); do : >"$dir/f${k}_$long"; done
    done
done
files=$(find "$src" -type f | wc -l)
for run in $(seq 1 "$RUNS"); do
    bk="$CASE_DIR/bk"
    rm -rf "$bk"
    mkdir -p "$bk"
    # Standard output into a pipe whose reader starts a second late and
    # reads 16 KiB at a time with a pause; standard error into another.
    LINKSNAP_WORKERS=8 LINKSNAP_OUTPUT_LIMIT=65536 timeout -k 5 "$LIMIT" "$LINKSNAP" "$src" "$bk" \
        2> >(sleep 0.3; cat >"$CASE_DIR/err") |
        python3 -c '
import sys, time
time.sleep(1)
while sys.stdin.buffer.read1(16384):
    time.sleep(0.002)
'
    rc=${PIPESTATUS[0]}
    if [ "$rc" -ne 0 ]; then
        fail "run $run ended with $rc (124: it hung)"
        break
    fi
    made=$(find "$bk/$TODAY" -type f | wc -l)
    [ "$made" -eq "$files" ] || { fail "run $run made $made of $files files"; break; }
done

finish
