#!/usr/bin/env bash
# The Windows build as its users meet it, run under Wine: drive-letter
# paths, console and log text with CR LF line ends, the state file with
# "$:" for the drive letter, unchanged files hard-linked (seen from the
# Linux side: one inode), a backup disk that comes back under another drive
# letter, hidden files at a drive root, the exact usage text and refusals,
# and the manifest and version resource of linksnap.exe.
. "$(dirname "$0")/lib.sh"

if ! on_windows; then
    # 77: CTest lists the test as skipped (SKIP_RETURN_CODE).
    echo "skipped: this test is for the Windows build (linksnap.exe under Wine), not the native one"
    exit 77
fi

CRLF=$'\r\n'

# Two drive letters of the test's own in the build's Wine prefix: X: is a
# small folder (a drive root), Y: another name of / (a backup disk that
# comes back under another letter). They go again when the test ends.
DOSDEVICES="$("$LINKSNAP_EMULATOR" --prefix)/dosdevices"
[ -d "$DOSDEVICES" ] || { echo "no Wine prefix at $DOSDEVICES" >&2; exit 1; }
trap 'rm -f "$DOSDEVICES/x:" "$DOSDEVICES/y:"; rm -rf "$WORK"' EXIT

# yp PATH: a Linux path as the program names it through drive Y:.
yp() { local p; p=$(np "$1"); printf 'Y%s' "${p#Z}"; }

# The state file's name for a snapshot: "$" for the drive letter.
state_name() { printf '$%s' "$(np "$1" | cut -c2-)"; }

# Moves today's snapshot to an earlier date name and makes the state file
# name it, as if the run had happened that day.
age_snapshot() {
    local bk=$1 name=$2
    mv "$bk/$TODAY" "$bk/$name"
    local first
    first=$(head -n 1 "$bk/_dir" | tr -d '\r')
    printf '%s\r\n%s\r\n' "$first" "$(state_name "$bk/$name/")" >"$bk/_dir"
}

case_begin "linksnap.exe is self-contained, asks for no elevation and is version 1.15.95"
imports=$(x86_64-w64-mingw32-objdump -p "$LINKSNAP" | sed -n 's/^\tDLL Name: //p' | tr A-Z a-z | sort | tr '\n' ' ')
[ "$imports" = "kernel32.dll msvcrt.dll " ] || fail "imports: $imports"
grep -q 'level="asInvoker"' "$LINKSNAP" || fail "no asInvoker manifest"
strings -el "$LINKSNAP" | grep -qx 1.15.95 || fail "no version resource 1.15.95"

case_begin "the usage text, exactly, with CR LF line ends"
for flag in -h /h ""; do
    # shellcheck disable=SC2086 # no argument at all for ""
    run_linksnap $flag
    expect_rc 1
    expect_lines "$ERR" "${usage_lines[@]}"
    expect_stdout ""
done
grep -q $'[^\r]$' "$ERR" && fail "a line of the usage text ends without CR"

case_begin "the refusals, exactly"
src="$CASE_DIR/src"
mkdir -p "$src"
printf 'x' >"$src/f"
run_linksnap xt=.tmp it=.txt "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_file "$ERR" "ex-types AND in-types not allowed.$CRLF"
run_linksnap "$(np "$CASE_DIR/nothing")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_file "$ERR" "no dir: $(np "$CASE_DIR/nothing/")$CRLF"
printf 'a file' >"$CASE_DIR/plain"
run_linksnap "$(np "$src")" "$(np "$CASE_DIR/plain/bk")"
expect_rc 1
expect_file "$ERR" "cannot create: $(np "$CASE_DIR/plain/bk/")$CRLF"
run_linksnap -s "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 0
run_linksnap "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_file "$ERR" "destination $(np "$CASE_DIR/bk/$TODAY/") already exists.$CRLF"
mkdir -p "$CASE_DIR/other"
run_linksnap "$(np "$CASE_DIR/other")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_file "$ERR" "different sources, expected $(np "$src/")$CRLF"
expect_stdout ""

case_begin "a full snapshot with drive-letter paths"
src="$CASE_DIR/src"
bk="$CASE_DIR/bk"
mkdir -p "$src/docs" "$src/.git"
printf 'report\n' >"$src/docs/report.txt"
printf 'caf\xc3\xa9' >"$src/docs/caf"$'\xc3\xa9'".txt" # U+00E9: one byte on the console
head -c 1048576 /dev/urandom >"$src/big.bin"
printf 'dot file' >"$src/.profile"
printf 'hidden folder' >"$src/.git/config"
touch -d '2001-02-03 04:05:06.1234567' "$src/big.bin"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap=$(np "$bk/$TODAY/")
normalise_elapsed "$OUT"
# The walk's order is the file system's: the copy lines are compared as a
# set, everything else line by line.
lines "no previous backup. full backup required." "backup destination $snap" >"$WORK/.expected"
lines "copy ${snap}.profile" "copy ${snap}big.bin" "copy ${snap}docs\\caf"$'\xe9'".txt" \
    "copy ${snap}docs\\report.txt" | sort >>"$WORK/.expected"
lines "                     4 files copied" "$(printf '%22s' '  1.048.596') bytes copied" \
    "elapsed: N sec." >>"$WORK/.expected"
{ head -n 2 "$OUT"; sed -n '3,6p' "$OUT" | sort; sed -n '7,$p' "$OUT"; } >"$WORK/.actual"
cmp -s "$WORK/.expected" "$WORK/.actual" || {
    fail "standard output differs"
    diff "$WORK/.expected" "$WORK/.actual" | cat -A | head -20 >&2
}
expect_stderr ""
expect_same_tree "$src" "$bk/$TODAY" -name .git
# The state file: the source, then the snapshot with "$" for its drive letter.
expect_file "$bk/_dir" "$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")$CRLF"
normalise_elapsed "$bk/log.txt"
expect_lines "$bk/log.txt" "" "$snap:" \
    "                     4 files copied" "$(printf '%22s' '  1.048.596') bytes copied" \
    "elapsed: N sec."

case_begin "the next run, with the backup root alone, links unchanged files"
age_snapshot "$bk" 2000_01_01
prev="$bk/2000_01_01"
printf 'report, changed\n' >"$src/docs/report.txt"
run_linksnap "$(np "$bk")"
expect_rc 0
snap=$(np "$bk/$TODAY/")
head -n 2 "$OUT" >"$WORK/.head"
expect_lines "$WORK/.head" "starting incremental backup." "backup destination $snap"
expect_contains "$OUT" "link ${snap}big.bin"
expect_contains "$OUT" "copy ${snap}docs\\report.txt"
expect_contains "$OUT" "                     3 files linked"
# One file under two names: the same inode, seen from the Linux side.
expect_linked "$bk/$TODAY/big.bin" "$prev/big.bin"
expect_linked "$bk/$TODAY/docs/caf"$'\xc3\xa9'".txt" "$prev/docs/caf"$'\xc3\xa9'".txt"
expect_linked "$bk/$TODAY/.profile" "$prev/.profile"
expect_not_linked "$bk/$TODAY/docs/report.txt" "$prev/docs/report.txt"
expect_file "$prev/docs/report.txt" "report
"
expect_file "$bk/_dir" "$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")$CRLF"

case_begin "a backup disk back under another drive letter finds its previous snapshot"
ln -sfn / "$DOSDEVICES/y:"
age_snapshot "$bk" 2000_01_02
prev="$bk/2000_01_02"
run_linksnap "$(yp "$bk")"
expect_rc 0
head -n 2 "$OUT" >"$WORK/.head"
expect_lines "$WORK/.head" "starting incremental backup." "backup destination $(yp "$bk/$TODAY/")"
expect_contains "$OUT" "                     4 files linked"
expect_linked "$bk/$TODAY/big.bin" "$prev/big.bin"
expect_linked "$bk/$TODAY/docs/report.txt" "$prev/docs/report.txt"
# The snapshot line holds no drive letter; the source line is as stored.
expect_file "$bk/_dir" "$(np "$src/")$CRLF$(state_name "$bk/$TODAY/")$CRLF"

case_begin "hidden and system files at a drive root are left out"
drive="$CASE_DIR/drive"
mkdir -p "$drive/folder" "$drive/.hidden-folder"
printf 'v' >"$drive/visible.txt"
printf 'h' >"$drive/.hidden-file"
printf 'f' >"$drive/folder/.hidden-inside"
ln -sfn "$drive" "$DOSDEVICES/x:"
run_linksnap -s 'X:\' "$(np "$CASE_DIR/bk")"
expect_rc 0
expect_lines "$OUT" "no previous backup. full backup required." \
    "backup destination $(np "$CASE_DIR/bk/$TODAY/")"
expect_present "$CASE_DIR/bk/$TODAY/visible.txt"
expect_absent "$CASE_DIR/bk/$TODAY/.hidden-file"
expect_absent "$CASE_DIR/bk/$TODAY/.hidden-folder"
# Below the root only hidden folders are left out.
expect_present "$CASE_DIR/bk/$TODAY/folder/.hidden-inside"
expect_file "$CASE_DIR/bk/_dir" "X:\\$CRLF$(state_name "$CASE_DIR/bk/$TODAY/")$CRLF"

case_begin "a folder link back to a folder above it is reported, not walked; other folder links are walked"
# Wine shows a Linux symbolic link to a folder as a folder link (a reparse
# point). Walked, the link up would repeat the tree inside itself.
src="$CASE_DIR/src"
mkdir -p "$src/sub/deep" "$CASE_DIR/outside"
printf 'a' >"$src/sub/a.txt"
printf 'o' >"$CASE_DIR/outside/o.txt"
ln -s ../.. "$src/sub/deep/up"
ln -s ../outside "$src/out"
run_linksnap -s "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 0
expect_lines "$ERR" "copy error $(np "$CASE_DIR/bk/$TODAY/sub/deep/up/")" \
    "$(why 'walk: a folder link into a folder above it')"
expect_contains "$CASE_DIR/bk/log.txt" "unreadable file: $(np "$src/sub/deep/up/")"
expect_contains "$CASE_DIR/bk/log.txt" "                     1 unreadable files skipped"
[ "$(cd "$CASE_DIR/bk/$TODAY" && find . | sort | tr '\n' ' ')" = ". ./out ./out/o.txt ./sub ./sub/a.txt ./sub/deep " ] ||
    fail "snapshot: $(cd "$CASE_DIR/bk/$TODAY" && find . | sort | head -20 | tr '\n' ' ')"

finish
