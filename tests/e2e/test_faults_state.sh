#!/usr/bin/env bash
# What a backup root may hold after a person, another program or a broken
# disk had it between two runs: a previous snapshot deleted or edited by
# hand, and hostile state files. Nothing already backed up may change, and
# a state file that cannot be read as it stands is refused, not guessed at.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

make_source() {
    mkdir -p "$1/sub/deeper" "$1/folder"
    printf 'alpha' >"$1/a.txt"
    printf 'bravo' >"$1/b.txt"
    printf 'charlie' >"$1/sub/c.txt"
    printf 'delta' >"$1/sub/deeper/d.txt"
    printf 'echo' >"$1/folder/e.txt"
}

case_begin "the previous snapshot deleted by hand, and no other left: a full backup"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
rm -rf "$bk/2000_01_01"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_file "$ERR" ""
expect_contains "$OUT" "no previous backup. full backup required."
expect_contains "$OUT" "$(counter_line 5 'files copied')"
expect_same_tree "$src" "$bk/$TODAY"

case_begin "the previous snapshot edited by hand: only true twins are linked, none is changed"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
prev="$bk/2000_01_01"
rm "$prev/a.txt"
printf 'edited' >"$prev/b.txt"
rm "$prev/sub/c.txt" && mkdir "$prev/sub/c.txt"
rm -r "$prev/folder" && printf 'was a folder' >"$prev/folder"
remember "$prev"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_file "$ERR" ""
snap="$bk/$TODAY"
expect_same_tree "$src" "$snap"
expect_linked "$snap/sub/deeper/d.txt" "$prev/sub/deeper/d.txt"
expect_not_linked "$snap/b.txt" "$prev/b.txt"
expect_unchanged "$prev"

case_begin "a state file line too long for the reader, or holding a NUL byte, refuses the run"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
long=$(printf 'x%.0s' $(seq 600))
for state in "$(np "$src/")\r\n\$$long/\r\n" "$(np "$src/")\r\n$long\r\n" \
    "$(np "$src/")\r\n\r\n-.$long\r\n" "$(np "$src/")\r\n\r\n$long"; do
    printf "$state" >"$bk/_dir"
    remember "$bk"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 1
    expect_lines "$ERR" "line too long in state file $(np "$bk/_dir")"
    expect_unchanged "$bk"
done
printf '%s\r\n\r\n-.tmp\0.txt\r\n' "$(np "$src/")" >"$bk/_dir"
remember "$bk"
run_linksnap "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "NUL byte in state file $(np "$bk/_dir")"
expect_unchanged "$bk"

case_begin "a state file whose last line has no end is read whole"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
printf '%s\r\n$%s\r\n-.tmp' "$(np "$src/")" "$(np "$bk/2000_01_01/" | cut -c2-)" >"$bk/_dir"
printf 'left out' >"$src/skip.tmp"
run_linksnap -s "$(np "$bk")"
expect_rc 0
expect_linked "$bk/$TODAY/a.txt" "$bk/2000_01_01/a.txt"
expect_absent "$bk/$TODAY/skip.tmp"
expect_contains "$bk/_dir" "-.tmp"$'\r'

if ! on_windows; then
case_begin "bytes above 0x7F in the state file are characters like any other"
src="$CASE_DIR/s"$'\xc3\xa4'"rc"$'\xe9' bk="$CASE_DIR/bk"
first_snapshot
write_state "$bk" "$src" 2000_01_01 "-."$'\xe9\xff'
printf 'left out' >"$src/skip."$'\xe9\xff'
cp "$bk/_dir" "$CASE_DIR/state"
run_linksnap -s "$bk"
expect_rc 0
expect_linked "$bk/$TODAY/a.txt" "$bk/2000_01_01/a.txt"
expect_absent "$bk/$TODAY/skip."$'\xe9\xff'
# The stored source and type come back byte for byte.
[ "$(head -1 "$bk/_dir")" = "$(head -1 "$CASE_DIR/state")" ] || fail "the source line changed"
[ "$(tail -1 "$bk/_dir")" = "$(tail -1 "$CASE_DIR/state")" ] || fail "the type line changed"
fi

case_begin "a second line naming a folder outside the backup root is only read from"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
outside="$CASE_DIR/outside"
mv "$bk/2000_01_01" "$outside"
printf 'stranger' >"$outside/b.txt"
printf '%s\r\n%s\r\n' "$(np "$src/")" "$(np "$outside/")" >"$bk/_dir"
remember "$outside"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$bk/$TODAY"
expect_same_tree "$src" "$snap"
expect_linked "$snap/a.txt" "$outside/a.txt"
expect_not_linked "$snap/b.txt" "$outside/b.txt"
expect_unchanged "$outside"

case_begin "a second line naming the source itself: no snapshot file is the live file"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
printf '%s\r\n%s\r\n' "$(np "$src/")" "$(np "$src/")" >"$bk/_dir"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$bk/$TODAY"
expect_same_tree "$src" "$snap"
expect_not_linked "$snap/a.txt" "$src/a.txt"
expect_not_linked "$snap/sub/deeper/d.txt" "$src/sub/deeper/d.txt"
# Changing a live file in place leaves the snapshot as it was.
printf 'ALPHA' >"$src/a.txt"
expect_file "$snap/a.txt" "alpha"
expect_contains "$bk/_dir" "$TODAY"

case_begin "thousands of list lines, many of them twice, are read and written back once each"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
lines=()
for i in $(seq 3000); do lines+=("folder$i" "-.t$i"); done
write_state "$bk" "$src" 2000_01_01 "${lines[@]}" "${lines[@]:0:2000}" "-.T7"
printf 'left out' >"$src/x.t2999"
mkdir -p "$src/folder1234"
printf 'left out' >"$src/folder1234/f"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$bk/$TODAY"
expect_absent "$snap/x.t2999"
expect_absent "$snap/folder1234"
expect_linked "$snap/a.txt" "$bk/2000_01_01/a.txt"
[ "$(wc -l <"$bk/_dir")" = 6002 ] || fail "the state file holds $(wc -l <"$bk/_dir") lines, expected 6002"
expect_contains "$bk/_dir" $'\r\n'"folder3000$SEP"$'\r\n'
expect_contains "$bk/_dir" $'\r\n'"-.t3000"$'\r\n'

case_begin "option items that the state file would not give back the same are refused"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
# A folder "-old" would come back as the type "old", a line feed as two
# entries: the next run would filter other files than this one.
for option in x=-old x=+new x=$'keep\n-.txt' xt=$'.tmp\n+.txt' it=$'.a\nb'; do
    run_linksnap "$option" "$(np "$src")" "$(np "$bk")"
    expect_rc 1
    expect_contains "$ERR" "usage: linksnap [<flags>] [<srcdir>] <backupdir>"
    expect_absent "$bk"
done
# Inside a name the same characters are harmless.
run_linksnap -s x=a-b,c+d xt=.t-1 "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_file "$bk/_dir" "$(np "$src/")"$'\r\n'"\$$(np "$bk/$TODAY/" | cut -c2-)"$'\r\n'"a-b$SEP"$'\r\n'"c+d$SEP"$'\r\n-.t-1\r\n'

case_begin "a folder where the state file belongs: full snapshots, nothing lost"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
mkdir -p "$bk/_dir"
printf 'kept' >"$bk/_dir/inside"
run_linksnap -s "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_same_tree "$src" "$bk/$TODAY"
expect_file "$bk/_dir/inside" "kept"

finish
