#!/usr/bin/env bash
# Runs that meet each other or end before their time: one run per backup
# root (a second run is kept out and writes nothing), a run stopped at any
# moment is finished by the next run of the same day, a folder that no run
# made under today's name is still refused, and a previous snapshot deleted
# by hand gives way to the newest one left. Both builds; on Linux the fault
# library stops a run exactly where a case wants it.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

WORK=$(realpath "$WORK")
if ! on_windows; then
    : "${FAULT_SHIM:?FAULT_SHIM must name the fault library (tests/e2e/shims)}"
    # A program built with a shared AddressSanitizer runtime needs it first.
    asan_runtime=$(ldd "$LINKSNAP" 2>/dev/null | awk '/libasan/ { print $3 }')
    PRELOAD="${asan_runtime:+$asan_runtime }$FAULT_SHIM"
fi
if on_windows; then TRIALS=3; else TRIALS=20; fi

# A tree of FOLDERS folders of 30 small files each, and two larger files.
make_tree() {
    local src=$1 folders=$2 d i
    mkdir -p "$src"
    for d in $(seq 1 "$folders"); do
        mkdir -p "$src/d$d"
        for i in $(seq 1 30); do printf 'file %s of %s' "$i" "$d" >"$src/d$d/f$i"; done
    done
    head -c 2000000 /dev/urandom >"$src/big1.bin"
    head -c 2000000 /dev/urandom >"$src/big2.bin"
    on_windows || chmod 640 "$src/d1/f1" # Windows carries no modes
    touch -d '2001-02-03 04:05:06.123456789' "$src/d2/f2"
}

# Rewrites a few files with other bytes and a newer time.
change_some() {
    local src=$1 f
    for f in d1/f3 d2/f7 big2.bin; do
        head -c "$(stat -c %s "$src/$f")" /dev/urandom >"$src/$f"
        touch -d "+$((RANDOM % 500 + 1)) seconds" "$src/$f"
    done
}

# The summary's grouped number, as "%3d." and "%03d" groups print it.
grouped() {
    local s first
    s=$(printf '%d' "$1" | sed ':a;s/\B[0-9]\{3\}\>/.&/;ta')
    first=${s%%.*}
    printf '%3s%s' "$first" "${s#"$first"}"
}

# Runs the program in the background; its process id in $RUN_PID.
start_run() {
    local tag=$1
    shift
    if on_windows; then
        WINEDEBUG=-all "$LINKSNAP_EMULATOR" "$LINKSNAP" "$@" >"$CASE_DIR/$tag.out" 2>"$CASE_DIR/$tag.err" </dev/null &
    else
        "$LINKSNAP" "$@" >"$CASE_DIR/$tag.out" 2>"$CASE_DIR/$tag.err" </dev/null &
    fi
    RUN_PID=$!
}

# Waits until the run $RUN_PID has put a file into today's snapshot of BK;
# false when it ended first.
wait_for_walk() {
    local bk=$1 tries=0
    while [ $tries -lt 600 ]; do
        [ -n "$(find "$bk/$TODAY" -type f -print -quit 2>/dev/null)" ] && return 0
        kill -0 "$RUN_PID" 2>/dev/null || return 1
        sleep 0.02
        tries=$((tries + 1))
    done
    return 1
}

# Starts a run and stops it in the middle of its walk, still holding the
# root: on Linux the fault library stops it right before it opens the
# source file STOP; under Wine the run is stopped once its snapshot holds a
# file (the tree is large enough there for Wine to take seconds).
stop_in_walk() {
    local bk=$1 stop=$2
    shift 2
    if on_windows; then
        start_run held "$@"
        wait_for_walk "$bk" || fail "the run ended before it could be stopped"
        kill -STOP "$RUN_PID"
        return
    fi
    env LD_PRELOAD="$PRELOAD" FAULT_STOP_PATH="$stop" "$LINKSNAP" "$@" \
        >"$CASE_DIR/held.out" 2>"$CASE_DIR/held.err" </dev/null &
    RUN_PID=$!
    wait_stopped "$RUN_PID" || fail "the run did not stop at $stop"
}

# After a same-day run that had to finish today's snapshot: the snapshot
# equals the source (content, modes, times), every file unchanged since
# PREV is a link to its twin there, the state file names the snapshot, and
# the log block of the run says that it continued.
expect_finished() {
    local src=$1 bk=$2 prev=$3 continued=$4
    local snap="$bk/$TODAY" f
    expect_rc 0
    expect_file "$ERR" ""
    expect_same_tree "$src" "$snap"
    for f in d1/f1 d2/f2 d3/f9 big1.bin; do expect_linked "$snap/$f" "$prev/$f"; done
    expect_contains "$bk/_dir" "$TODAY"
    if [ "$continued" = 1 ]; then
        expect_contains "$OUT" "continuing the unfinished snapshot."
        # The line right after the last header line of the log.
        local after
        after=$(grep -A1 -F "$(np "$snap/"):" "$bk/log.txt" | tail -n 1 | tr -d '\r')
        [ "$after" = "continuing the unfinished snapshot." ] || fail "log block: '$after'"
    fi
}

# What a run says it made: its standard output and the block it added to the
# log of BK, less the elapsed time and the line that says it continued.
# A continued run must say what an uninterrupted run of the same tree says.
run_account() {
    local bk=$1 header
    header="$(np "$bk/$TODAY/"):"
    tr -d '\r' <"$OUT" | grep -av -e '^elapsed: ' -e '^continuing the unfinished snapshot\.$'
    echo "-- log.txt"
    # The header through the environment: awk -v would take the
    # backslashes of a Windows path as escapes.
    tr -d '\r' <"$bk/log.txt" | HEADER=$header awk '$0 == ENVIRON["HEADER"] { block = "" } { block = block $0 "\n" } END { printf "%s", block }' |
        grep -av -e '^elapsed: ' -e '^continuing the unfinished snapshot\.$'
}

# expect_told_as_uninterrupted BK STATE ARGS...: after a continued run
# whose output is in $OUT, today's snapshot of BK is made again by an
# uninterrupted run (state file STATE, arguments ARGS), and both runs must
# have told the same.
expect_told_as_uninterrupted() {
    local bk=$1 state=$2
    run_account "$bk" >"$CASE_DIR/continued.account"
    rm -rf "${bk:?}/$TODAY"
    cp "$state" "$bk/_dir"
    run_linksnap "${@:3}"
    expect_rc 0
    run_account "$bk" >"$CASE_DIR/uninterrupted.account"
    if ! cmp -s "$CASE_DIR/uninterrupted.account" "$CASE_DIR/continued.account"; then
        fail "the continued run told otherwise than an uninterrupted one"
        diff "$CASE_DIR/uninterrupted.account" "$CASE_DIR/continued.account" | head -20 >&2
    fi
}

case_begin "a run that holds the root keeps a second run out, and the second writes nothing"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
if on_windows; then make_tree "$src" 8; else make_tree "$src" 3; fi
stop_in_walk "$bk" "$src/d2/f5" -s "$(np "$src")" "$(np "$bk")"
remember "$bk"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "backup root $(np "$bk/") is in use by another run." \
    "$(why 'flock: Resource temporarily unavailable' 'LockFileEx: Lock violation')"
expect_stdout ""
expect_unchanged "$bk"
# The lock file tells who holds the root.
grep -qxF "snapshot $(np "$bk/$TODAY/")" "$bk/_lock" || fail "the lock file names no snapshot"
grep -q "^pid [0-9]" "$bk/_lock" || fail "the lock file holds no process id"
# A dry run takes no lock: it is not kept out (here it stops at today's
# folder, as a dry run never continues a snapshot).
run_linksnap -n "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "destination $(np "$bk/$TODAY/") already exists."
kill -CONT "$RUN_PID"
wait "$RUN_PID"
RC=$?
expect_rc 0
expect_same_tree "$src" "$bk/$TODAY"

case_begin "two runs started together: one makes the snapshot, the other is kept out ($TRIALS trials)"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 4
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
cp "$bk/_dir" "$CASE_DIR/state"
kept_out=0
for trial in $(seq 1 "$TRIALS"); do
    rm -rf "${bk:?}/$TODAY" "$bk/log.txt"
    cp "$CASE_DIR/state" "$bk/_dir"
    start_run one -s "$(np "$src")" "$(np "$bk")"
    first=$RUN_PID
    start_run two -s "$(np "$src")" "$(np "$bk")"
    wait "$first"
    rc_one=$?
    wait "$RUN_PID"
    rc_two=$?
    if [ "$rc_one" = 0 ] && [ "$rc_two" = 1 ]; then
        winner=one loser=two
    elif [ "$rc_one" = 1 ] && [ "$rc_two" = 0 ]; then
        winner=two loser=one
    else
        fail "trial $trial: exit codes $rc_one and $rc_two"
        continue
    fi
    [ -s "$CASE_DIR/$winner.err" ] && fail "trial $trial: $(head -c 200 "$CASE_DIR/$winner.err")"
    # Kept out by the lock, or come after the end of the other run.
    if cmp -s "$CASE_DIR/$loser.err" <(lines "backup root $(np "$bk/") is in use by another run." \
        "$(why 'flock: Resource temporarily unavailable' 'LockFileEx: Lock violation')"); then
        kept_out=$((kept_out + 1))
    else
        cmp -s "$CASE_DIR/$loser.err" <(lines "destination $(np "$bk/$TODAY/") already exists.") ||
            fail "trial $trial: $(head -c 200 "$CASE_DIR/$loser.err")"
    fi
    expect_same_tree "$src" "$bk/$TODAY"
    # Nothing copied twice: every file is still a link to its twin.
    for f in d1/f1 d4/f30 big1.bin big2.bin; do expect_linked "$bk/$TODAY/$f" "$bk/2000_01_01/$f"; done
    [ "$(grep -c "files linked" "$bk/log.txt")" = 1 ] || fail "trial $trial: the log holds two summaries"
done
# A run waits up to two seconds for a busy lock, so with a small tree the
# second run mostly comes after the first; test_util.sh holds the lock
# longer to see the refusal.
echo "  $kept_out of $TRIALS trials met the lock"

case_begin "a snapshot repaired by the next run: bad copies replaced, stale entries removed, good ones kept"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 3
mkdir -p "$src/folder/inner"
printf 'was a file in the snapshot' >"$src/folder/inner/x"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
cp "$bk/_dir" "$CASE_DIR/state"
change_some "$src"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
# As if the run had been stopped before it wrote the state file, with
# its snapshot in every state a stop can leave a file in.
cp "$CASE_DIR/state" "$bk/_dir"
set_catalog_line "$bk" "$TODAY" "unfinished						"
snap="$bk/$TODAY"
truncate -s 1000 "$snap/big2.bin"             # a copy cut short, without the source's times
rm "$snap/d2/f7" "$snap/d1/f1"                # not made yet (a copy and a link)
printf 'stale' >"$snap/d3/gone.txt"           # its source deleted since
mkdir -p "$snap/gone/deeper" && printf 's' >"$snap/gone/deeper/s"
rm -r "$snap/folder/inner" && printf 'x' >"$snap/folder/inner"
if ! on_windows; then
    chmod 555 "$snap/d3" "$snap/gone/deeper"  # folders that had their final access
    rm "$snap/d2/f9" && ln -s / "$snap/d2/f9" && rm "$src/d2/f9" && ln -s / "$src/d2/f9" && touch -h -d '2001-01-01' "$src/d2/f9"
fi
remember "$bk/2000_01_01"
cp "$bk/log.txt" "$CASE_DIR/log.before"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_finished "$src" "$bk" "$bk/2000_01_01" 1
expect_absent "$snap/d3/gone.txt"
expect_absent "$snap/gone"
lines "starting incremental backup." "backup destination $(np "$snap/")" \
    "continuing the unfinished snapshot." >"$CASE_DIR/head"
head -n 3 "$OUT" | cmp -s - "$CASE_DIR/head" || fail "start lines: $(head -n 3 "$OUT")"
# Kept files are counted as linked (the twin's own file) or copied, with
# the bytes of each copy, kept or made again.
expect_contains "$OUT" "link $(np "$snap/d3/f9")"
expect_contains "$OUT" "copy $(np "$snap/big2.bin")"
expect_not_linked "$snap/big2.bin" "$bk/2000_01_01/big2.bin"
unchanged_count=$(($(find "$src" -type f | wc -l) - 3))
if on_windows; then copied=3; else copied=4; fi
expect_contains "$OUT" "$(counter_line "$copied" 'files copied')"
expect_contains "$OUT" "$(counter_line "$unchanged_count" 'files linked')"
bytes=$(($(stat -c %s "$src/big2.bin") + $(stat -c %s "$src/d2/f7") + $(stat -c %s "$src/d1/f3")))
expect_contains "$OUT" "$(counter_line "$(grouped "$bytes")" 'bytes copied')"
expect_unchanged "$bk/2000_01_01"

case_begin "a continued run tells what it kept as an uninterrupted run would"
# Kept twins as linked, kept copies as copied with their bytes, and a
# stored link judged by itself, never by what it leads to: an unchanged
# link whose target is gone is its twin, and a link made afresh (its time
# changed) whose target is the twin's is a copy all the same.
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 3
if ! on_windows; then
    ln -s /nonexistent/target "$src/d1/dangling"
    ln -s "$src/big1.bin" "$src/d1/absolute"
    ln -s f2 "$src/d2/relative"
fi
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
cp "$bk/_dir" "$CASE_DIR/state"
change_some "$src"
on_windows || touch -h -d '+100 seconds' "$src/d1/absolute"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
run_account "$bk" >"$CASE_DIR/uninterrupted.account"
# As if the run had been stopped right before it wrote the state file,
# with a copy and a link still to make.
cp "$CASE_DIR/state" "$bk/_dir"
set_catalog_line "$bk" "$TODAY" "unfinished						"
rm "$bk/$TODAY/d2/f7" "$bk/$TODAY/d3/f4"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_finished "$src" "$bk" "$bk/2000_01_01" 1
if on_windows; then copied=3; else copied=4; fi
expect_contains "$OUT" "$(counter_line "$copied" 'files copied')"
run_account "$bk" >"$CASE_DIR/continued.account"
if ! cmp -s "$CASE_DIR/uninterrupted.account" "$CASE_DIR/continued.account"; then
    fail "the continued run told otherwise than an uninterrupted one"
    diff "$CASE_DIR/uninterrupted.account" "$CASE_DIR/continued.account" | head -20 >&2
fi
if ! on_windows; then
    expect_contains "$OUT" "link $(np "$bk/$TODAY/d1/dangling")"
    expect_contains "$OUT" "copy $(np "$bk/$TODAY/d1/absolute")"
fi

case_begin "a continued run that replaces a kept link leaves the previous snapshot's read-only file read-only"
# The linked name shares its attributes with the twin in the previous
# snapshot (on Windows both ways of removing a read-only file).
for fallback in "" 1; do
    src="$CASE_DIR/src$fallback" bk="$CASE_DIR/bk$fallback"
    make_tree "$src" 1
    chmod 444 "$src/d1/f2"
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    age_snapshot "$bk" 2000_01_01 "$src"
    cp "$bk/_dir" "$CASE_DIR/state"
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    expect_linked "$bk/$TODAY/d1/f2" "$bk/2000_01_01/d1/f2"
    # Stopped before it wrote the state file; the file changed since.
    cp "$CASE_DIR/state" "$bk/_dir"
    set_catalog_line "$bk" "$TODAY" "unfinished						"
    chmod 644 "$src/d1/f2" && printf 'changed' >"$src/d1/f2" && chmod 444 "$src/d1/f2"
    touch -d '+100 seconds' "$src/d1/f2"
    LINKSNAP_TEST_NO_DISPOSITION_EX=$fallback run_linksnap -s "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    expect_file "$bk/$TODAY/d1/f2" "changed"
    [ "$(stat -c %a "$bk/2000_01_01/d1/f2")" = 444 ] ||
        fail "the previous snapshot's file is now $(stat -c %a "$bk/2000_01_01/d1/f2") (fallback: ${fallback:-no})"
done

case_begin "the catalog records each snapshot, and follows the folders on disk"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 1
if on_windows; then special=0; else special=1 && mkfifo "$src/pipe"; fi
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z'
catalog_line "$bk" "$TODAY" | grep -Eq "^$TODAY	complete	$stamp	$stamp	0	0	0	$special	[0-9]+	[0-9]+	[0-9]+\$" ||
    fail "line: $(catalog_line "$bk" "$TODAY")"
[ "$(grep -c $'\r$' "$bk/_catalog")" = 1 ] || fail "not one CR LF line"
on_windows || [ "$(stat -c %a "$bk/_catalog")" = 600 ] || fail "mode $(stat -c %a "$bk/_catalog")"
expect_absent "$bk/_catalog.new"
# A snapshot renamed by hand (its line stands for nothing now and is
# dropped; the state file names the new name: a line is made for it), a
# line of a folder deleted by hand, and junk: none refuses the next run.
age_snapshot "$bk" 2000_01_01 "$src"
set_catalog_line "$bk" 1999_01_01 "complete			0	0	0	0"
printf 'not a line of ours\r\n' >>"$bk/_catalog"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_linked "$bk/$TODAY/d1/f2" "$bk/2000_01_01/d1/f2"
[ "$(grep -c . "$bk/_catalog")" = 2 ] || fail "catalog: $(cat "$bk/_catalog")"
expect_contains "$bk/_catalog" "2000_01_01	complete						"
catalog_line "$bk" "$TODAY" | grep -Eq "^$TODAY	complete	$stamp	$stamp	" || fail "line: $(catalog_line "$bk" "$TODAY")"

case_begin "a complete snapshot of today, or a folder that no run made, is still refused, on standard error alone"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 3
run_linksnap -s "$(np "$src")" "$(np "$bk")"
remember "$bk/$TODAY"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "destination $(np "$bk/$TODAY/") already exists."
expect_unchanged "$bk/$TODAY"
# The log's last block still ends with the summary of the run that made it.
tail -n 1 "$bk/log.txt" | grep -q '^elapsed: ' || fail "the refusal reached log.txt: $(tail -n 2 "$bk/log.txt")"
# Today's folder made by hand; the last run was another day's.
age_snapshot "$bk" 2000_01_01 "$src"
sed -i "s/$TODAY/2000_01_01/" "$bk/_lock"
mkdir "$bk/$TODAY"
printf 'mine' >"$bk/$TODAY/note"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "destination $(np "$bk/$TODAY/") already exists."
expect_file "$bk/$TODAY/note" "mine"
# A lock text that names today's folder, written by anyone who may write
# the root: it holds no identity of that folder, so nothing is continued.
printf 'pid 1\nsnapshot x/%s/\n' "$TODAY" >"$bk/_lock"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "destination $(np "$bk/$TODAY/") already exists."
expect_file "$bk/$TODAY/note" "mine"
# A folder that is no backup root, given alone: refused, and no lock file
# is left in it.
mkdir "$CASE_DIR/plain"
run_linksnap "$(np "$CASE_DIR/plain")"
expect_rc 1
expect_lines "$ERR" "no state file $(np "$CASE_DIR/plain/_dir"): give the source folder as well."
expect_absent "$CASE_DIR/plain/_lock"

case_begin "a backup root copied with cp -a links into its own snapshots, not the old root's"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 3
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
cp -a "$bk" "$CASE_DIR/moved"
run_linksnap -s "$(np "$CASE_DIR/moved")"
expect_rc 0
expect_file "$ERR" ""
[ "$(stat -c %h "$CASE_DIR/bk/2000_01_01/d1/f3")" = 1 ] || fail "the new root linked into the old one"
expect_linked "$CASE_DIR/moved/$TODAY/d1/f3" "$CASE_DIR/moved/2000_01_01/d1/f3"

case_begin "a deleted newest snapshot: the run links against the one before it"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_tree "$src" 3
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
mkdir -p "$bk/2099_12_31x" "$bk/zzz"          # no snapshot names
printf 'x' >"$bk/2099_12_30"                  # no folder
write_state "$bk" "$src" 2000_01_02           # named, but deleted by hand
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_lines "$OUT" \
    "previous snapshot $(np "$bk/2000_01_02/") not found, using $(np "$bk/2000_01_01/")" \
    "starting incremental backup." "backup destination $(np "$bk/$TODAY/")"
expect_linked "$bk/$TODAY/d1/f1" "$bk/2000_01_01/d1/f1"
expect_linked "$bk/$TODAY/big1.bin" "$bk/2000_01_01/big1.bin"

case_begin "runs killed at random moments are finished by the next run of the day"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
if on_windows; then make_tree "$src" 6; kills=1; else make_tree "$src" 30; kills=8; fi
run_linksnap -s "$(np "$src")" "$(np "$bk")"
age_snapshot "$bk" 2000_01_01 "$src"
cp "$bk/_dir" "$CASE_DIR/state"
remember "$bk/2000_01_01"
started=$(date +%s%N)
run_linksnap -s "$(np "$src")" "$(np "$bk")"
span=$((($(date +%s%N) - started) / 1000000 + 1))
for trial in $(seq 1 "$kills"); do
    rm -rf "${bk:?}/$TODAY"
    cp "$CASE_DIR/state" "$bk/_dir"
    change_some "$src"
    start_run killed -s "$(np "$src")" "$(np "$bk")"
    if on_windows; then
        wait_for_walk "$bk" || fail "the run ended before it could be killed"
    else
        sleep "$(printf '0.%03d' $((RANDOM % span % 1000)))"
    fi
    kill -KILL "$RUN_PID" 2>/dev/null
    wait "$RUN_PID" 2>/dev/null
    if grep -qF "$TODAY" "$bk/_dir"; then
        echo "  trial $trial: the run ended before the kill"
        continue
    fi
    [ -d "$bk/$TODAY" ] && continued=1 || continued=0
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    expect_finished "$src" "$bk" "$bk/2000_01_01" "$continued"
    expect_told_as_uninterrupted "$bk" "$CASE_DIR/state" -s "$(np "$src")" "$(np "$bk")"
done
expect_unchanged "$bk/2000_01_01"

if ! on_windows; then
    case_begin "a run killed while it replaces the state file is finished by the next run of the day"
    src="$CASE_DIR/src" bk="$CASE_DIR/bk"
    make_tree "$src" 3
    run_linksnap -s "$src" "$bk"
    age_snapshot "$bk" 2000_01_01 "$src"
    change_some "$src"
    stop_in_walk "$bk" "$bk/_dir.new" -s "$src" "$bk"
    kill -KILL "$RUN_PID"
    wait "$RUN_PID" 2>/dev/null
    run_linksnap -s "$src" "$bk"
    expect_finished "$src" "$bk" "$bk/2000_01_01" 1
    # Everything was there already: the copies kept are counted with
    # their bytes, as the run that made them counted them.
    expect_absent "$bk/_dir.new"
    bytes=$(($(stat -c %s "$src/big2.bin") + $(stat -c %s "$src/d2/f7") + $(stat -c %s "$src/d1/f3")))
    sed -n '/continuing the unfinished/,$p' "$bk/log.txt" | tr -d '\r' |
        grep -qxF "$(counter_line "$(grouped "$bytes")" 'bytes copied')" || fail "bytes copied: $(tail -n 4 "$bk/log.txt")"
fi

finish
