#!/usr/bin/env bash
# The path arguments as a new user types them: empty ones, unknown flags,
# relative paths, and types written as the usage text shows them (*.txt).
. "$(dirname "$0")/lib.sh"

CRLF=$'\r\n'

case_begin "empty paths and unknown flags print the usage text and create nothing"
mkdir -p "$CASE_DIR/src" "$CASE_DIR/bk"
printf 'x' >"$CASE_DIR/src/f"
# A root whose state file names another source: a run that took "" for the
# file system's root would be refused differently, never walk it.
printf '%s\r\n' "$(np "$CASE_DIR/other/")" >"$CASE_DIR/bk/_dir"
src=$(np "$CASE_DIR/src")
bk=$(np "$CASE_DIR/bk")
# -n where an earlier version would have written outside the test's folder.
cases=("|$bk" "" "-n|$src|" "$src|--quiet" "--version|$bk" "-n|-sq|$src")
# On Windows '/' starts a flag too.
if on_windows; then cases+=("-n|$src|/quiet" "/v|$bk"); fi
cd "$CASE_DIR"
before=$(find . | sort)
for args in "${cases[@]}"; do
    IFS='|' read -r -a argv <<<"$args"
    # "a|" reads as one argument: the empty one is added back.
    case "$args" in *'|') argv+=("") ;; '') argv=("") ;; esac
    run_linksnap "${argv[@]}"
    expect_rc 1
    expect_lines "$ERR" "${usage_lines[@]}"
    expect_stdout ""
done
[ "$(find . | sort)" = "$before" ] || fail "a refused run created $(diff <(echo "$before") <(find . | sort))"
cd - >/dev/null

case_begin "relative paths are made absolute before they are used or stored"
base=$(cd "$CASE_DIR" && pwd -P)
mkdir -p "$base/data/src/docs" "$base/work" "$base/elsewhere"
printf 'one' >"$base/data/src/one.txt"
printf 'two' >"$base/data/src/docs/two.txt"
printf 'decoy' >"$base/elsewhere/decoy.txt"
cd "$base/work"
run_linksnap "..${SEP}data${SEP}.${SEP}src" "bk"
cd - >/dev/null
expect_rc 0
snap=$(np "$base/work/bk/$TODAY/")
expect_contains "$OUT" "backup destination $snap"
expect_file "$base/work/bk/_dir" "$(np "$base/data/src/")$CRLF\$${snap:1}$CRLF"
mv "$base/work/bk/$TODAY" "$base/work/bk/2000_01_01"
printf '%s\r\n$%s\r\n' "$(np "$base/data/src/")" "$(np "$base/work/bk/2000_01_01/" | cut -c2-)" \
    >"$base/work/bk/_dir"
# The root alone, given relative from another working folder: the stored
# source is the folder backed up, and the previous snapshot is found.
cd "$base/elsewhere"
run_linksnap "..${SEP}work${SEP}bk"
cd - >/dev/null
expect_rc 0
expect_contains "$OUT" "starting incremental backup."
expect_linked "$base/work/bk/$TODAY/docs/two.txt" "$base/work/bk/2000_01_01/docs/two.txt"
expect_absent "$base/work/bk/$TODAY/decoy.txt"
expect_contains "$OUT" "                     2 files linked"
# The same source spelled another way, and the root given absolute, are the
# same folders: no "different sources".
rm -rf "$base/work/bk/$TODAY"
cd "$base/data"
run_linksnap -n "src${SEP}docs${SEP}..${SEP}" "$(np "$base/work/bk")"
cd - >/dev/null
expect_rc 0
expect_contains "$OUT" "starting incremental backup."

case_begin "a type written *.ext means .ext, and is stored so"
src="$CASE_DIR/src"
mkdir -p "$src/sub"
for f in a.txt b.TXT c.tmp sub/d.txt sub/e.doc readme; do printf 'x' >"$src/$f"; done
run_linksnap -s "it=*.txt" "$(np "$src")" "$(np "$CASE_DIR/bk1")"
expect_rc 0
[ "$(cd "$CASE_DIR/bk1/$TODAY" && find . -type f | sort | tr '\n' ' ')" = "./a.txt ./b.TXT ./sub/d.txt " ] ||
    fail "it=*.txt took the wrong files"
grep -qx -- '+.txt' <(tr -d '\r' <"$CASE_DIR/bk1/_dir") || fail "it=*.txt not stored as +.txt"
# An item without "*." stays as typed.
run_linksnap -s "xt=*.tmp,*.DOC,txt" "$(np "$src")" "$(np "$CASE_DIR/bk2")"
expect_rc 0
[ "$(cd "$CASE_DIR/bk2/$TODAY" && find . -type f | sort | tr '\n' ' ')" = "./a.txt ./b.TXT ./readme ./sub/d.txt " ] ||
    fail "xt=*.tmp,*.DOC,txt left out the wrong files"
tail -n +3 "$CASE_DIR/bk2/_dir" >"$WORK/.types"
expect_file "$WORK/.types" "-.tmp$CRLF-.DOC$CRLF-txt$CRLF"

finish
