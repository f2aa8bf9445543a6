#!/usr/bin/env bash
# The exact bytes of standard output, standard error and log.txt.
. "$(dirname "$0")/lib.sh"

case_begin "a clean full run"
src="$CASE_DIR/src"
bk="$CASE_DIR/bk"
mkdir -p "$src"
printf '12345' >"$src/f.txt"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$(np "$bk/$TODAY/")"
normalise_elapsed "$OUT"
expect_lines "$OUT" "no previous backup. full backup required." \
    "backup destination $snap" \
    "copy ${snap}f.txt" \
    "                     1 files copied" \
    "                     5 bytes copied" \
    "elapsed: N sec."
expect_stderr ""
normalise_elapsed "$bk/log.txt"
expect_lines "$bk/log.txt" "" "$snap:" \
    "                     1 files copied" \
    "                     5 bytes copied" \
    "elapsed: N sec."

case_begin "two runs append two blocks to one log file"
mv "$bk/$TODAY" "$bk/2000_01_01"
printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$bk/2000_01_01/" | cut -c2-)" >"$bk/_dir"
printf 'abc' >"$src/new.txt"
cp "$bk/log.txt" "$CASE_DIR/first-block"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
normalise_elapsed "$bk/log.txt"
lines "" "$snap:" \
    "                     1 files copied" \
    "                     1 files linked" \
    "                     3 bytes copied" \
    "elapsed: N sec." >>"$CASE_DIR/first-block"
cmp -s "$CASE_DIR/first-block" "$bk/log.txt" || fail "log.txt is not the first block followed by the second"
expect_contains "$OUT" "starting incremental backup."
expect_contains "$OUT" "link ${snap}f.txt"

case_begin "a silent run keeps only the start lines"
src="$CASE_DIR/src"
mkdir -p "$src/sub"
printf 'x' >"$src/sub/x"
run_linksnap -s "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 0
expect_lines "$OUT" "no previous backup. full backup required." \
    "backup destination $(np "$CASE_DIR/bk/$TODAY/")"
expect_stderr ""
expect_contains "$CASE_DIR/bk/log.txt" "                     1 files copied"

if [ "$(id -u)" = 0 ]; then
case_begin "an unreadable source file"
# A file the user who runs the backup may not read, as a file locked by
# its owner would be.
src="$CASE_DIR/src"
bk="$CASE_DIR/bk"
mkdir -p "$src" "$bk"
printf 'ok' >"$src/readable"
printf 'no' >"$src/locked"
chmod 600 "$src/locked"
chown 65534:65534 "$bk"
run_linksnap_unprivileged "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap=$(np "$bk/$TODAY/")
normalise_elapsed "$OUT"
expect_lines "$OUT" "no previous backup. full backup required." \
    "backup destination $snap" \
    "copy ${snap}readable" \
    "                     1 files copied" \
    "                     2 bytes copied" \
    "                     1 unreadable files skipped" \
    "elapsed: N sec."
expect_lines "$ERR" "copy error ${snap}locked" "$(why 'openat: Permission denied' '_wfopen_s: Permission denied')"
normalise_elapsed "$bk/log.txt"
expect_lines "$bk/log.txt" "" "$snap:" \
    "unreadable file: $(np "$src/locked")" \
    "                     1 files copied" \
    "                     2 bytes copied" \
    "                     1 unreadable files skipped" \
    "elapsed: N sec."
fi

case_begin "control characters in names cannot forge lines"
if on_windows; then
    echo "skipped under Wine: Windows file names hold no control characters"
else
# A name may hold any byte but '/' and NUL: a line feed in it would write a
# fake summary line onto the console and into log.txt, an escape sequence
# would drive the terminal. Each control character is shown as '?'.
src="$CASE_DIR/src"
bk="$CASE_DIR/bk"
mkdir -p "$src" "$bk"
forged="x"$'\n'"                 1.000 files linked"
printf 'f' >"$src/$forged"
printf 'c' >"$src/tab"$'\t'"esc"$'\e'"[2Jdel"$'\x7f'"cr"$'\r'
locked="locked"$'\n'"unreadable file: forged"
printf 'l' >"$src/$locked"
if [ "$(id -u)" = 0 ]; then
    # Unreadable for the user who runs the backup: a line in log.txt.
    chmod 600 "$src/$locked"
    chown 65534:65534 "$bk"
    run_linksnap_unprivileged "$src" "$bk"
else
    rm "$src/$locked"
    run_linksnap "$src" "$bk"
fi
expect_rc 0
snap="$bk/$TODAY/"
normalise_elapsed "$OUT"
{
    lines "copy ${snap}x?                 1.000 files linked" "copy ${snap}tab?esc?[2Jdel?cr?"
    lines "no previous backup. full backup required." "backup destination $snap" \
        "                     2 files copied" "                     2 bytes copied" "elapsed: N sec."
    [ "$(id -u)" = 0 ] && lines "                     1 unreadable files skipped"
} | sort >"$WORK/.expected"
sort "$OUT" >"$WORK/.actual"
cmp -s "$WORK/.expected" "$WORK/.actual" || {
    fail "standard output differs"
    diff "$WORK/.expected" "$WORK/.actual" | cat -A | head -20 >&2
}
grep -q $'\e' "$OUT" && fail "an escape character reached the console"
if [ "$(id -u)" = 0 ]; then
    expect_lines "$ERR" "copy error ${snap}locked?unreadable file: forged" "$(why 'openat: Permission denied')"
    expect_contains "$bk/log.txt" "unreadable file: $src/locked?unreadable file: forged"
    [ "$(grep -c 'unreadable file: ' "$bk/log.txt")" = 1 ] || fail "log.txt holds a forged line"
fi
# The snapshot keeps the names exactly.
expect_present "$bk/$TODAY/$forged"
fi

case_begin "percent signs in paths are printed literally"
src="$CASE_DIR/src %s %d %n"
mkdir -p "$src"
printf 'p' >"$src/100%.txt"
run_linksnap "$(np "$src")" "$(np "$CASE_DIR/bk %s")"
expect_rc 0
expect_contains "$OUT" "copy $(np "$CASE_DIR/bk %s/$TODAY/")100%.txt"
expect_contains "$OUT" "backup destination $(np "$CASE_DIR/bk %s/$TODAY/")"

finish
