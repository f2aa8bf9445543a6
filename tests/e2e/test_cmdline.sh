#!/usr/bin/env bash
# Flags, options and the usage text as the user meets them.
. "$(dirname "$0")/lib.sh"

case_begin "help and wrong argument counts print the usage text and touch nothing"
src="$CASE_DIR/src"
mkdir -p "$src"
printf 'x' >"$src/f"
bk="$CASE_DIR/bk"
for args in "-h|$(np "$src")|$(np "$bk")" "" "a|b|c" "-x|$(np "$src")|$(np "$bk")" \
    "x=1|x=2|$(np "$src")|$(np "$bk")"; do
    IFS='|' read -r -a argv <<<"$args"
    run_linksnap "${argv[@]}"
    expect_rc 1
    expect_lines "$ERR" "${usage_lines[@]}"
    expect_stdout ""
    expect_absent "$bk"
done

case_begin "an option value too long for its buffer is refused, never cut"
long=$(printf 'a%.0s' $(seq 520))
run_linksnap "x=$long" "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "${usage_lines[@]}"
expect_absent "$bk"
# An item that would not fit a line of the state file neither.
run_linksnap "x=$(printf 'b%.0s' $(seq 519))" "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_absent "$bk"

case_begin "excluded and included types together are refused before any path is looked at"
run_linksnap xt=.tmp it=.txt "$(np "$CASE_DIR/no/such/src")" "$(np "$CASE_DIR/no/such/bk")"
expect_rc 1
expect_lines "$ERR" "ex-types AND in-types not allowed."
expect_absent "$CASE_DIR/no"

case_begin "a dry run writes nothing under the backup root"
src="$CASE_DIR/src"
mkdir -p "$src/d"
printf '1' >"$src/a"
printf '2' >"$src/d/b"
bk="$CASE_DIR/bk"
run_linksnap "$(np "$src")" "$(np "$bk")"
mv "$bk/$TODAY" "$bk/2000_01_01"
printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$bk/2000_01_01/" | cut -c2-)" >"$bk/_dir"
printf '3' >"$src/c"
before=$(tree_listing "$bk"; md5sum "$bk/_dir" "$bk/log.txt")
run_linksnap -n "$(np "$src")" "$(np "$bk")"
expect_rc 0
after=$(tree_listing "$bk"; md5sum "$bk/_dir" "$bk/log.txt")
[ "$before" = "$after" ] || fail "the dry run changed the backup root"
expect_contains "$OUT" "starting incremental backup."
expect_contains "$OUT" "link $(np "$bk/$TODAY/")a"
expect_contains "$OUT" "                     1 files copied"
expect_contains "$OUT" "                     2 files linked"
if grep -q "bytes copied" "$OUT"; then fail "a dry run copied bytes"; fi
# A missing backup root is not created under -n; the flags combine.
run_linksnap -sn "$(np "$src")" "$(np "$CASE_DIR/new/root")"
expect_rc 0
expect_absent "$CASE_DIR/new"
expect_lines "$OUT" "no previous backup. full backup required." \
    "backup destination $(np "$CASE_DIR/new/root/$TODAY/")"

case_begin "folder and type filters shape the snapshot"
src="$CASE_DIR/src"
for f in a.tmp readme cache.tmp/inner.txt keep/b.TXT keep/c.doc skip/d.txt deep/skip/e.txt \
    deep/skipped/f.txt; do
    mkdir -p "$(dirname "$src/$f")"
    printf 'x' >"$src/$f"
done
run_linksnap "x=skip,,deep$SEP" xt=.tmp,.DOC "$(np "$src")" "$(np "$CASE_DIR/bk1")"
expect_rc 0
snap="$CASE_DIR/bk1/$TODAY"
expect_absent "$snap/a.tmp"
expect_absent "$snap/cache.tmp"
expect_absent "$snap/skip"
expect_absent "$snap/deep"
expect_absent "$snap/keep/c.doc"
expect_present "$snap/readme"
expect_present "$snap/keep/b.TXT"
run_linksnap it=.txt "$(np "$src")" "$(np "$CASE_DIR/bk2")"
expect_rc 0
snap="$CASE_DIR/bk2/$TODAY"
expect_present "$snap/cache.tmp/inner.txt"
expect_present "$snap/keep/b.TXT"
expect_absent "$snap/keep/c.doc"
expect_absent "$snap/readme"
expect_absent "$snap/a.tmp"
[ -d "$snap/deep/skip" ] || fail "folders are created under it="

finish
