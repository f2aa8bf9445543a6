#!/usr/bin/env bash
# Checksums recorded as files are copied, and linksnap-util verify: a byte
# that rots on the backup disk in a file five snapshots share is found under
# all five names and is never linked again; a run killed while it copies and
# a torn record leave only right records; a prune keeps the records of the
# files that live on and drops the others; --record and --source.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

: "${LINKSNAP_UTIL:?LINKSNAP_UTIL must name linksnap-util}"
: "${LINKSNAP_PRUNE:?LINKSNAP_PRUNE must name linksnap-prune}"
WORK=$(realpath "$WORK")

run_util() { LINKSNAP=$LINKSNAP_UTIL run_linksnap "$@"; }
run_prune() { LINKSNAP=$LINKSNAP_PRUNE run_linksnap "$@"; }

# The summary line's counts of verify, as "checked mismatches without".
verify_counts() {
    tr -d '\r' <"$OUT" | sed -n 's/^\([0-9]*\) files checked, [0-9]* bytes read, \([0-9]*\) mismatches, \([0-9]*\) without record.*/\1 \2 \3/p'
}
expect_counts() {
    [ "$(verify_counts)" = "$1" ] || fail "verify counted '$(verify_counts)', expected '$1': $(head -c 400 "$OUT") $(head -c 300 "$ERR")"
}

make_source() {
    mkdir -p "$1/sub"
    head -c 300000 /dev/urandom >"$1/big.bin"
    printf 'small\n' >"$1/sub/small.txt"
    : >"$1/empty"
    for i in 1 2 3 4 5; do printf 'file %s\n' "$i" >"$1/sub/f$i"; done
}

# Backs src up into bk and gives the snapshot the name of day $1.
day_run() {
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    [ "$RC" = 0 ] || fail "linksnap failed: $(head -c 300 "$ERR")"
    age_snapshot "$bk" "$1" "$src"
}

# Changes one byte of a file in place and gives it back its times: rot
# that neither size nor time shows.
rot_byte() {
    touch -r "$1" "$CASE_DIR/.times"
    printf 'X' | dd of="$1" bs=1 seek=1000 conv=notrunc status=none
    touch -r "$CASE_DIR/.times" "$1"
}

case_begin "a rotten byte shared by five snapshots: all five names, exit 2; the next run copies afresh"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
for d in 1 2 3 4 5; do day_run 2000_01_0$d; done
run_util verify "$(np "$bk")"
expect_rc 0
expect_counts "8 0 0"
rot_byte "$bk/2000_01_01/big.bin"
run_util verify "$(np "$bk")"
expect_rc 2
expect_counts "8 1 0"
tr -d '\r' <"$OUT" >"$CASE_DIR/out"
expect_contains "$CASE_DIR/out" "mismatch, 300000 bytes:"
for d in 1 2 3 4 5; do expect_count "$CASE_DIR/out" 1 "    2000_01_0$d${SEP}big.bin"; done
[ "$(grep -c '^    ' "$CASE_DIR/out")" = 5 ] || fail "more than the five names: $(cat "$CASE_DIR/out")"
# The next run copies the source afresh instead of linking the bad twin.
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_not_linked "$bk/$TODAY/big.bin" "$bk/2000_01_05/big.bin"
expect_linked "$bk/$TODAY/sub/small.txt" "$bk/2000_01_05/sub/small.txt"
cmp -s "$bk/$TODAY/big.bin" "$src/big.bin" || fail "the new copy differs from the source"
expect_contains "$OUT" "$(counter_line 1 'files copied')"
run_util verify "$(np "$bk")" "$TODAY"
expect_rc 0
expect_counts "8 0 0"
# The rotten copy is still found, and its mark is not written twice.
size=$(stat -c %s "$bk/_checksums")
run_util verify "$(np "$bk")" 2000_01_03
expect_rc 2
[ "$(stat -c %s "$bk/_checksums")" = "$size" ] || fail "a second mark of the same file was written"

case_begin "verify: usage, an unknown snapshot, a root that is none"
run_util verify
expect_rc 1
run_util verify "$(np "$bk")" --record --source
expect_rc 1
run_util verify "$(np "$bk")" 1999_01_01
expect_rc 1
expect_contains "$ERR" "no snapshot 1999_01_01"
mkdir -p "$CASE_DIR/none"
run_util verify "$(np "$CASE_DIR/none")"
expect_rc 1

case_begin "a torn record and garbage cost only themselves; verify reports the rest as without record"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
if on_windows; then
    day_run 2000_01_01
else
    # A run killed while it copies: its copies so far keep their records.
    asan_runtime=$(ldd "$LINKSNAP" 2>/dev/null | awk '/libasan/ { print $3 }')
    env LD_PRELOAD="${asan_runtime:+$asan_runtime }$FAULT_SHIM" FAULT_STOP_PATH="$src/sub/f3" LINKSNAP_WORKERS=1 \
        "$LINKSNAP" -s "$src" "$bk" >"$CASE_DIR/held.out" 2>&1 </dev/null &
    pid=$!
    wait_stopped "$pid" || fail "the run did not stop"
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    run_util verify "$(np "$bk")"
    expect_rc 0
    n=$(find "$bk/$TODAY" -type f | wc -l)
    [ "$(verify_counts)" = "$n 0 0" ] || fail "after the kill: '$(verify_counts)' for $n files"
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    age_snapshot "$bk" 2000_01_01 "$src"
fi
records=$(( $(stat -c %s "$bk/_checksums") / 64 ))
[ "$records" -ge 8 ] || fail "only $records records"
# The last record torn, then garbage, then a later run's records.
truncate -s -20 "$bk/_checksums"
head -c 100 /dev/urandom >>"$bk/_checksums"
printf 'LSCK' >>"$bk/_checksums"
printf 'a file of the next day\n' >"$src/new.txt"
day_run 2000_01_02
run_util verify "$(np "$bk")"
expect_rc 0
expect_counts "8 0 1"

case_begin "--record gives a record to files without one, and compares nothing"
rm "$bk/_checksums"
run_util verify "$(np "$bk")"
expect_rc 0
expect_counts "0 0 9"
rot_byte "$bk/2000_01_01/big.bin"
run_util verify --record "$(np "$bk")"
expect_rc 0
expect_counts "9 0 0"
run_util verify "$(np "$bk")"
expect_rc 0
expect_counts "9 0 0"

case_begin "--source finds a source file changed behind its restored time, and changes nothing"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
day_run 2000_01_01
run_util verify --source "$(np "$bk")"
expect_rc 0
remember "$bk"
rot_byte "$src/big.bin"
run_util verify --source "$(np "$bk")"
expect_rc 2
expect_contains "$OUT" "differs: $(np "$src/big.bin")"
expect_unchanged "$bk"

case_begin "records survive a prune of the snapshot that first copied the file; freed files lose theirs"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
printf 'only in the first\n' >"$src/first.txt"
day_run 2000_01_01
rm "$src/first.txt"
day_run 2000_01_02
day_run 2000_01_03
[ "$(( $(stat -c %s "$bk/_checksums") / 64 ))" = 9 ] || fail "expected 9 records before the prune"
run_prune d=1 "$(np "$bk")"
expect_rc 0
[ -d "$bk/2000_01_01" ] && fail "the prune kept the first snapshot"
[ "$(( $(stat -c %s "$bk/_checksums") / 64 ))" = 8 ] || fail "expected 8 records after the prune"
run_util verify "$(np "$bk")"
expect_rc 0
expect_counts "8 0 0"

case_end
finish
