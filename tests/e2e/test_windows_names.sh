#!/usr/bin/env bash
# The Windows build with names in any script, run under Wine: a source and
# a backup root named in Greek, Chinese and with an emoji, holding files
# named likewise, and a path longer than MAX_PATH with a name of 255 code
# units. The state file keeps every name (UTF-8 behind a byte-order mark),
# so later runs with the root alone or with both paths find the source and
# link every unchanged file. Redirected output and log.txt show one byte
# per character up to U+00FF and '?' above, every line whole with CR LF; a
# console shows every character as itself.
. "$(dirname "$0")/lib.sh"

if ! on_windows; then
    echo "skipped: this test is for the Windows build (linksnap.exe under Wine), not the native one"
    exit 77
fi

# Wine turns the arguments and the file names of the Linux side into UTF-16
# by the locale's character set: UTF-8 here, whatever the caller's locale.
export LC_ALL=C.UTF-8

CRLF=$'\r\n'
BOM=$'\xef\xbb\xbf'

# Each name, and how a redirected console and log.txt show it: U+00E9 as
# its one byte, every character above U+00FF (an emoji too) as one '?'.
SRC_NAME="Πηγή_源_😀" SRC_SHOWN="????_?_?"
BK_NAME="Αντίγραφα_备份_😀" BK_SHOWN="?????????_??_?"
F_GREEK="Ωμέγα.txt" F_GREEK_SHOWN="?????.txt"
D_CHINESE="中文" D_CHINESE_SHOWN="??"
F_CHINESE="文件.txt" F_CHINESE_SHOWN="??.txt"
F_EMOJI="😀.bin" F_EMOJI_SHOWN="?.bin"
F_LATIN="café.txt" F_LATIN_SHOWN="caf"$'\xe9'".txt"
# A folder of 120 characters holding a name of 255 (Windows' longest): the
# snapshot's path is well over MAX_PATH (260) and within PATH_CHARS (520).
D_LONG=$(printf 'd%.0s' {1..120})
F_LONG="$(printf 'n%.0s' {1..251}).txt"

# The files of the source, relative to it, and as the console shows them.
FILES=("$F_GREEK" "$D_CHINESE/$F_CHINESE" "$F_EMOJI" "$F_LATIN" "$D_LONG/$F_LONG")
SHOWN=("$F_GREEK_SHOWN" "$D_CHINESE_SHOWN\\$F_CHINESE_SHOWN" "$F_EMOJI_SHOWN" "$F_LATIN_SHOWN")

# Every line of FILE ends with CR LF.
expect_crlf_lines() {
    [ -s "$1" ] || { fail "$(basename "$1") is empty"; return; }
    [ "$(tail -c 2 "$1" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "$(basename "$1") does not end with CR LF"
    LC_ALL=C grep -q $'[^\r]$' "$1" && fail "a line of $(basename "$1") ends without CR"
    LC_ALL=C grep -q $'\r.' "$1" && fail "a CR inside a line of $(basename "$1")"
    return 0
}

# The state file's name for a snapshot: "$" for the drive letter.
state_name() { printf '$%s' "$(np "$1" | cut -c2-)"; }

# Moves today's snapshot to an earlier date name and makes the state file
# name it, as if the run had happened that day; the file stays UTF-8.
age_snapshot() {
    local name=$1
    mv "$bk/$TODAY" "$bk/$name"
    printf '%s%s\r\n%s\r\n' "$BOM" "$(np "$src/")" "$(state_name "$bk/$name/")" >"$bk/_dir"
    prev="$bk/$name"
}

expect_all_linked() {
    local f
    for f in "${FILES[@]}"; do expect_linked "$bk/$TODAY/$f" "$prev/$f"; done
}

case_begin "a full run: names in any script, paths over MAX_PATH"
src="$CASE_DIR/$SRC_NAME"
bk="$CASE_DIR/$BK_NAME/bk"
mkdir -p "$src/$D_CHINESE" "$src/$D_LONG"
for f in "${FILES[@]}"; do printf '%s' "$f" >"$src/$f"; done
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_stderr ""
snap_shown=$(np "$CASE_DIR/$BK_SHOWN/bk/$TODAY/")
head -n 2 "$OUT" >"$WORK/.head"
expect_lines "$WORK/.head" "no previous backup. full backup required." "backup destination $snap_shown"
for f in "${SHOWN[@]}"; do expect_contains "$OUT" "copy $snap_shown$f$CRLF"; done
# The long path's line is cut to 190 characters around "....".
LC_ALL=C grep -q '^copy Z:.*[^.]\.\.\.\.n*\.txt'$'\r$' "$OUT" || fail "no cut copy line for the long path"
expect_contains "$OUT" "                     5 files copied$CRLF"
[ "$(wc -l <"$OUT")" = 10 ] || fail "standard output holds $(wc -l <"$OUT") lines, not 10"
expect_crlf_lines "$OUT"
expect_same_tree "$src" "$bk/$TODAY"
# The whole state file is UTF-8 behind its mark: every name comes back.
expect_file "$bk/_dir" "$BOM$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")$CRLF"
normalise_elapsed "$bk/log.txt"
expect_lines "$bk/log.txt" "" "$snap_shown:" "                     5 files copied" \
    "$(printf '%22s' "$(cat "${FILES[@]/#/$src/}" | wc -c)") bytes copied" "elapsed: N sec."

case_begin "the next day, with the root alone: the source is found, every file linked"
age_snapshot 2000_01_01
run_linksnap "$(np "$bk")"
expect_rc 0
expect_stderr ""
head -n 2 "$OUT" >"$WORK/.head"
expect_lines "$WORK/.head" "starting incremental backup." "backup destination $snap_shown"
for f in "${SHOWN[@]}"; do expect_contains "$OUT" "link $snap_shown$f$CRLF"; done
expect_contains "$OUT" "                     5 files linked$CRLF"
expect_crlf_lines "$OUT"
expect_all_linked
expect_file "$bk/_dir" "$BOM$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")$CRLF"
expect_crlf_lines "$bk/log.txt"
[ "$(grep -cxF "$snap_shown:"$'\r' "$bk/log.txt")" = 2 ] || fail "log.txt lacks a block's header line"

case_begin "the day after, with both paths and a filter in Greek: the same source"
age_snapshot 2000_01_02
run_linksnap "x=Φάκελος" "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_stderr ""
expect_contains "$OUT" "starting incremental backup.$CRLF"
expect_contains "$OUT" "                     5 files linked$CRLF"
expect_all_linked
expect_file "$bk/_dir" "$BOM$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")${CRLF}Φάκελος\\$CRLF"

case_begin "a console shows every character as itself"
if ! command -v script >/dev/null; then
    echo "skipped: no 'script' to give the program a terminal (Wine's console)"
else
# Under a terminal Wine gives the program a console: standard output is no
# file, and the program writes it with WriteConsoleW. Wine draws it on the
# terminal in UTF-8 (an emoji it cannot draw, so this root has none).
console_bk="$CASE_DIR/Κονσόλα_控制台"
command=$(printf '%q ' "$LINKSNAP_EMULATOR" "$LINKSNAP" "$(np "$src")" "$(np "$console_bk")")
script -qec "stty cols 2000 2>/dev/null; $command" /dev/null </dev/null >"$WORK/.console" 2>&1
# Wine's terminal output less its cursor sequences and line-end CRs.
sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$WORK/.console" >"$OUT"
snap=$(np "$console_bk/$TODAY/")
expect_contains "$OUT" "backup destination $snap"
expect_contains "$OUT" "copy $snap$F_GREEK"
expect_contains "$OUT" "copy $snap$D_CHINESE\\$F_CHINESE"
expect_contains "$OUT" "copy $snap$F_LATIN"
expect_contains "$OUT" "5 files copied"
expect_same_tree "$src" "$console_bk/$TODAY"
# The unit test of the console path, which reads back what WriteConsoleW
# wrote, needs such a terminal too.
unit_tests="$E2E_BUILD_DIR/../unit_tests.exe"
command=$(printf '%q ' "$LINKSNAP_EMULATOR" "$unit_tests" --gtest_filter='ConsoleTest.*' --gtest_color=no)
script -qec "stty cols 2000 2>/dev/null; $command" /dev/null </dev/null >"$WORK/.console" 2>&1
# (Wine draws some runs of blanks as cursor moves: the blanks are gone here.)
sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$WORK/.console" >"$OUT"
grep -q '^\[ *PASSED *\] *1 *test' "$OUT" || { fail "the console unit test did not pass"; tail -20 "$OUT" >&2; }
fi

finish
