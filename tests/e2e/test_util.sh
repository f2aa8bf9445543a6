#!/usr/bin/env bash
# linksnap-util on real backup roots: diff checked against the inodes that
# find(1) reports for both snapshots; a file's history across versions and
# a gap; the states that list and status read from the lock and the state
# file, and the monitor's exit codes; JSON that reads back to the same
# names; bad input; and that nothing in the root is written.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

: "${LINKSNAP_UTIL:?LINKSNAP_UTIL must name linksnap-util}"
: "${LINKSNAP_PRUNE:?LINKSNAP_PRUNE must name linksnap-prune}"

run_util() { LINKSNAP=$LINKSNAP_UTIL run_linksnap "$@"; }

# Path, type letter and inode of every entry below a snapshot, as diff
# must judge them: the same inode is the same version.
inode_listing() { (cd "$1" && find . -mindepth 1 -printf '%P\t%y\t%i\n' | LC_ALL=C sort); }

# The A/D/M/T lines that two listings give, sorted by path in byte order.
expected_diff() {
    LC_ALL=C join -t $'\t' -a 1 -a 2 -e '' -o 0,1.2,1.3,2.2,2.3 "$1" "$2" | awk -F'\t' -v sep=/ '
        $2 == "" { print "A " $1 ($4 == "d" ? sep : ""); next }
        $4 == "" { print "D " $1 ($2 == "d" ? sep : ""); next }
        $2 != $4 { print "T " $1 ($4 == "d" ? sep : ""); next }
        $2 != "d" && $3 != $5 { print "M " $1 }' | LC_ALL=C sort -k2
}

DAY1=2026_03_01
DAY2=2026_03_02
DAY3=2026_03_03

# ---- one root over three days ------------------------------------------------------

ROOT="$WORK/root"
SRC="$WORK/src"
mkdir -p "$SRC/sub/deep" "$SRC/gone" "$SRC/turns"
printf 'one\n' >"$SRC/a.txt"
printf 'same\n' >"$SRC/sub/keep.txt"
printf 'x\n' >"$SRC/gone/x.txt"
printf 'file\n' >"$SRC/sub/deep/f"
printf 'was a file\n' >"$SRC/turns.txt"
printf 'dash\n' >"$SRC/sub-x"
day_run() {
    run_linksnap "$(np "$SRC")" "$(np "$ROOT")"
    [ "$RC" = 0 ] || fail "linksnap failed: $(head -c 300 "$ERR")"
    mv "$ROOT/$TODAY" "$ROOT/$1"
    set_linked "$ROOT" "$1"
}
set_linked() { write_state "$1" "$SRC" "$2"; }

case_begin "diff: added, deleted, changed and changed kind, by inode, sorted by byte order"
day_run $DAY1
printf 'two\n' >"$SRC/a.txt.new" && touch -d '2020-01-01' "$SRC/a.txt.new" && mv "$SRC/a.txt.new" "$SRC/a.txt"
rm -r "$SRC/gone" "$SRC/turns.txt"
mkdir "$SRC/turns.txt" && printf 'now inside\n' >"$SRC/turns.txt/in"
printf 'new\n' >"$SRC/sub/new.txt"
mkdir "$SRC/added" && printf 'n\n' >"$SRC/added/n"
day_run $DAY2
inode_listing "$ROOT/$DAY1" >"$CASE_DIR/one"
inode_listing "$ROOT/$DAY2" >"$CASE_DIR/two"
expected_diff "$CASE_DIR/one" "$CASE_DIR/two" | tr / "$SEP" >"$CASE_DIR/expected"
[ "$(wc -l <"$CASE_DIR/expected")" -ge 7 ] || fail "the oracle found too little: $(cat "$CASE_DIR/expected")"
listing_before=$(cd "$ROOT" && find . -printf '%p %i %n %T@ %m\n' | sort)
run_util diff "$(np "$ROOT")" $DAY1 $DAY2
expect_rc 0
tr -d '\r' <"$OUT" | sed '$d' >"$CASE_DIR/got"
cmp -s "$CASE_DIR/expected" "$CASE_DIR/got" || { fail "diff lines differ"; diff "$CASE_DIR/expected" "$CASE_DIR/got" >&2; }
added=$(grep -c '^A' "$CASE_DIR/expected"); deleted=$(grep -c '^D' "$CASE_DIR/expected")
changed=$(grep -c '^M' "$CASE_DIR/expected"); kinds=$(grep -c '^T' "$CASE_DIR/expected")
expect_contains "$OUT" "$added added, $deleted deleted, $changed changed, $kinds changed kind, 21 bytes added"
run_util diff --json "$(np "$ROOT")" $DAY1 $DAY2
expect_rc 0
python3 - "$OUT" "$CASE_DIR/expected" "$SEP" <<'PY' || fail "diff --json does not match the lines"
import json, sys
rows = [json.loads(l) for l in open(sys.argv[1], encoding="ascii")]
want = [l.rstrip("\n") for l in open(sys.argv[2])]
got = [r["op"] + " " + r["path"] + (sys.argv[3] if r["kind"] == "folder" else "") for r in rows[:-1]]
sys.exit(0 if got == want and rows[-1]["summary"]["bytes_added"] == 21 else 1)
PY
run_util diff "$(np "$ROOT")" $DAY2 $DAY2
expect_rc 0
expect_lines "$OUT" "0 added, 0 deleted, 0 changed, 0 changed kind, 0 bytes added"
[ "$listing_before" = "$(cd "$ROOT" && find . -printf '%p %i %n %T@ %m\n' | sort)" ] || fail "diff changed the root"

case_begin "history: one line per version by identity, a gap where the file was absent"
rm "$SRC/sub/new.txt"
day_run $DAY3
run_util history "$(np "$ROOT")" "$(np "$SRC/a.txt")"
expect_rc 0
mapfile -t got < <(tr -d '\r' <"$OUT" | awk '{print $1, $3, $4, $6, $7}')
[ "${got[*]}" = "$DAY1 $DAY1 1 file 4 $DAY2 $DAY3 2 file 4" ] || fail "a.txt: ${got[*]}"
grep -q "modified 2020-01-01 00:00:00" "$OUT" || fail "the last-write time of the second version: $(cat "$OUT")"
# Relative to the working folder, as everywhere.
cd "$SRC/sub" && run_util history "$(np "$ROOT")" new.txt && cd - >/dev/null
expect_rc 0
mapfile -t got < <(tr -d '\r' <"$OUT" | awk '{print $1, $3, $4, $6}')
[ "${got[*]}" = "$DAY1 $DAY1 1 absent $DAY2 $DAY2 1 file $DAY3 $DAY3 1 absent" ] || fail "new.txt: ${got[*]}"
run_util history --json "$(np "$ROOT")" "$(np "$SRC/sub/keep.txt")"
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
v = d["versions"]
sys.exit(0 if len(v) == 1 and v[0]["snapshots"] == 3 and v[0]["size"] == 5 else 1)' "$OUT" || fail "keep.txt --json: $(cat "$OUT")"

case_begin "list and status: complete, unfinished, running; the monitor's codes"
rm -f "$ROOT/_lock"
cp -al "$ROOT/$DAY3" "$ROOT/$TODAY"
set_linked "$ROOT" "$TODAY"
run_util list "$(np "$ROOT")"
expect_rc 0
[ "$(tr -d '\r' <"$OUT" | awk '{print $1 "=" $2}' | tr '\n' ' ')" = "$DAY1=complete $DAY2=complete $DAY3=complete $TODAY=complete " ] ||
    fail "list: $(cat "$OUT")"
[ -e "$ROOT/_lock" ] && fail "list created the lock file"
run_util status "$(np "$ROOT")"
expect_rc 0
expect_contains "$OUT" "LINKSNAP OK - newest complete snapshot $TODAY, 0h 0m old"
# Dated by the end of the run the catalog recorded, a second or two ago.
grep -Eq '\| age=[0-9]s;;93600 ' "$OUT" || fail "status: $(cat "$OUT")"
# Today's snapshot left by a stopped run: the lock names it, the state file
# does not.
set_linked "$ROOT" "$DAY3"
printf 'pid 1\nhost h\nstart 2026-03-04 00:00:00\nsnapshot %s\n' "$(np "$ROOT/$TODAY/")" >"$ROOT/_lock"
set_catalog_line "$ROOT" "$TODAY" "unfinished	2026-03-04T00:00:00Z								"
run_util status --max-age=100000 "$(np "$ROOT")"
expect_rc 2
expect_contains "$OUT" "LINKSNAP CRITICAL - newest complete snapshot $DAY3"
expect_contains "$OUT" "$TODAY unfinished"
run_util list --json "$(np "$ROOT")"
python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))["snapshots"]; sys.exit(0 if s[-1]["state"]=="unfinished" else 1)' "$OUT" ||
    fail "list --json: $(cat "$OUT")"
if ! on_windows && command -v flock >/dev/null; then
    flock -o "$ROOT/_lock" sleep 5 &
    holder=$!
    sleep 0.5
    run_util list "$(np "$ROOT")"
    grep -q "^$TODAY  running" "$OUT" || fail "a held lock: $(cat "$OUT")"
    run_util status --max-age=100000 "$(np "$ROOT")"
    expect_rc 0
    kill $holder 2>/dev/null
    wait $holder 2>/dev/null
    # A run and a prune wait up to two seconds for a busy lock, then refuse;
    # a monitor's instant look never makes them fail.
    flock -o "$ROOT/_lock" sleep 1 &
    holder=$!
    sleep 0.3
    LINKSNAP=$LINKSNAP_PRUNE run_linksnap -n d=1000 "$(np "$ROOT")"
    expect_rc 0
    wait $holder
    flock -o "$ROOT/_lock" sleep 4 &
    holder=$!
    sleep 0.3
    started=$(date +%s%N)
    LINKSNAP=$LINKSNAP_PRUNE run_linksnap d=1000 "$(np "$ROOT")"
    expect_rc 1
    expect_contains "$ERR" "is in use by another run."
    [ $(( ($(date +%s%N) - started) / 1000000 )) -ge 1900 ] || fail "prune did not wait for the lock"
    kill $holder 2>/dev/null
    wait $holder 2>/dev/null
fi
# Stale: the newest complete snapshot older than --max-age hours.
rm -r "$ROOT/$TODAY" "$ROOT/_lock"
run_util status --max-age=1 "$(np "$ROOT")"
expect_rc 2
expect_contains "$OUT" "older than 1h | age="
run_util list --sizes "$(np "$ROOT")"
expect_rc 0
# a.txt's first version, gone/x.txt and turns.txt are held by the first day alone.
grep -q "^$DAY1 .* own 17 bytes  total " "$OUT" || fail "list --sizes: $(cat "$OUT")"

case_begin "bad input: a clear message, exit 1 (status: 3)"
mkdir -p "$CASE_DIR/plain"
run_util frobnicate "$(np "$ROOT")"
expect_rc 1
expect_contains "$ERR" "unknown command: frobnicate"
run_util diff "$(np "$ROOT")" $DAY1 2026_03_09
expect_rc 1
expect_contains "$ERR" "no snapshot 2026_03_09 in"
run_util history "$(np "$ROOT")" "$(np "$WORK/elsewhere")"
expect_rc 1
expect_contains "$ERR" "not inside the source"
run_util list "$(np "$CASE_DIR/plain")"
expect_rc 1
expect_contains "$ERR" "not a backup root"
run_util status "$(np "$CASE_DIR/plain")"
expect_rc 3
expect_contains "$OUT" "LINKSNAP UNKNOWN - "
run_util status --max-age=soon "$(np "$ROOT")"
expect_rc 3
run_util --help
expect_rc 0
expect_contains "$OUT" "usage: linksnap-util"
run_util --version
expect_rc 0
expect_lines "$OUT" "linksnap-util 1.15.95"
# The other two programs answer the same; -h stays a usage error.
for program in "$LINKSNAP" "$LINKSNAP_PRUNE"; do
    LINKSNAP=$program run_linksnap --version
    expect_rc 0
    expect_lines "$OUT" "$(basename "$program" .exe) 1.15.95"
    LINKSNAP=$program run_linksnap --help
    expect_rc 0
    expect_contains "$OUT" "usage: $(basename "$program" .exe) "
    LINKSNAP=$program run_linksnap -h
    expect_rc 1
done

if ! on_windows; then
    case_begin "JSON: a name that is no UTF-8 comes back byte for byte"
    name=$(printf 'caf\xe9 \xff\tq"\\')
    printf 'z\n' >"$SRC/$name"
    printf 'utf8 \xc3\xa9\n' >"$SRC/$(printf '\xc3\xa9t\xc3\xa9')"
    run_linksnap "$(np "$SRC")" "$(np "$ROOT")"
    run_util diff --json "$(np "$ROOT")" $DAY3 "$TODAY"
    expect_rc 0
    grep -q 'caf\\udce9 \\udcff\\tq\\"\\\\' "$OUT" || fail "escape: $(cat "$OUT")"
    python3 - "$OUT" "$SRC" <<'PY' || fail "names do not read back"
import json, os, sys
added = {os.fsencode(json.loads(l)["path"]) for l in open(sys.argv[1], encoding="ascii") if '"op"' in l}
sys.exit(0 if added == {n for n in os.listdir(os.fsencode(sys.argv[2])) if n.startswith((b"caf", b"\xc3"))} else 1)
PY
fi

finish
