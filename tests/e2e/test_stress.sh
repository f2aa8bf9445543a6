#!/usr/bin/env bash
# The walk on eight threads against a reader that comes late and reads
# slowly: every run must end, with its whole output, whatever the timing.
. "$(dirname "$0")/lib.sh"

if on_windows; then
    echo "skipped: the stress runs take the Linux build (the Wine runs are too slow for it)"
    exit 77
fi

RUNS=${STRESS_RUNS:-4}

case_begin "eight workers, output read late and slowly, never hang"
src="$CASE_DIR/src"
# Some ten thousand files in a few hundred folders, with long names, so
# that the output held for the slow reader passes the bound many times.
long=$(printf 'n%.0s' $(seq 1 120))
for a in $(seq 1 20); do
    for b in $(seq 1 16); do
        dir="$src/a${a}_$long/b${b}_$long"
        mkdir -p "$dir"
        for k in $(seq 1 32); do : >"$dir/f${k}_$long"; done
    done
done
files=$(find "$src" -type f | wc -l)
for run in $(seq 1 "$RUNS"); do
    bk="$CASE_DIR/bk"
    rm -rf "$bk"
    mkdir -p "$bk"
    # Standard output into a pipe whose reader starts late and reads in
    # small bites; standard error into another.
    LINKSNAP_WORKERS=8 timeout -k 5 20 "$LINKSNAP" "$src" "$bk" \
        2> >(sleep 0.3; cat >"$CASE_DIR/err") |
        { sleep 1; while [ "$(head -c 65536 | wc -c)" -gt 0 ]; do :; done; }
    rc=${PIPESTATUS[0]}
    wait
    if [ "$rc" -ne 0 ]; then
        fail "run $run ended with $rc (124: it hung)"
        break
    fi
    made=$(find "$bk/$TODAY" -type f | wc -l)
    [ "$made" -eq "$files" ] || { fail "run $run made $made of $files files"; break; }
done

finish
