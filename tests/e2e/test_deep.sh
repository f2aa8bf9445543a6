#!/usr/bin/env bash
# Trees deeper than any path can name (Linux): backed up whole, under a
# small limit on open descriptors, by one thread and by several, and the
# next day's snapshot links every file to the first. The trees are made and
# compared through open folders only (deeptree), as diff -r and rsync stop
# at the path limit.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

if on_windows; then
    echo "skipped: paths of the Windows build stop far short of these depths"
    exit 77
fi
: "${DEEPTREE:?DEEPTREE must name the deep-tree helper}"
: "${FAULT_SHIM:?FAULT_SHIM must name the fault library (tests/e2e/shims)}"

# run_day DAY LIMIT [ARGS...]: the program as run on DAY under ulimit -n LIMIT
# (soft and hard), file times left real.
run_day() {
    local day=$1 limit=$2
    shift 2
    (ulimit -n "$limit" && NO_FAKE_STAT=1 exec faketime "$day 12:00:00" "$LINKSNAP" "$@") \
        >"$OUT" 2>"$ERR" </dev/null
    RC=$?
}

# expect_whole_run SNAPSHOT: exit 0, nothing on standard error, the summary
# printed and the state file naming SNAPSHOT.
expect_whole_run() {
    expect_rc 0
    expect_stderr ""
    [ -s "$OUT" ] || fail "no summary on standard output"
    expect_contains "$bk/_dir" "$1"
}

# expect_compare A B "folders N files M shared K"
expect_compare() {
    local got
    got=$("$DEEPTREE" compare "$1" "$2" 2>&1) || true
    [ "$got" = "$3" ] || fail "compare $(basename "$1") $(basename "$2"): $got, expected $3"
}

# deep_case DEPTH LIMIT WORKERS [WORKERS-NEXT-DAY]
deep_case() {
    local depth=$1 limit=$2 first=$3 next=${4:-}
    case_begin "a tree $depth levels deep under ulimit -n $limit: $first worker(s)${next:+, then $next the next day}"
    src="$CASE_DIR/src" bk="$CASE_DIR/bk"
    mkdir -p "$src"
    "$DEEPTREE" make "$src" "$depth" || fail "cannot make the tree"
    local files=$((depth / 1000 + 1)) folders=$((depth + 1))
    LINKSNAP_WORKERS=$first run_day 2024-03-01 "$limit" "$src" "$bk"
    expect_whole_run 2024_03_01
    expect_compare "$src" "$bk/2024_03_01" "folders $folders files $files shared 0"
    if [ -n "$next" ]; then
        LINKSNAP_WORKERS=$next run_day 2024-03-02 "$limit" "$src" "$bk"
        expect_whole_run 2024_03_02
        expect_compare "$bk/2024_03_01" "$bk/2024_03_02" "folders $folders files $files shared $files"
    fi
    # rm -rf takes minutes on such a tree.
    "$DEEPTREE" remove "$CASE_DIR" || fail "cannot remove the trees"
}

# The walk keeps a few hundred levels open with one thread under this
# limit, a few dozen each with four: the rest is closed and reopened.
deep_case "${DEEP_SHORT_LEVELS:-5000}" 1024 1 4
# Far deeper than the stack of a walk that recursed would allow, and than
# that of an emitter that followed the nesting of the workers' jobs (eight
# workers on the second day). DEEP_LEVELS=100000 runs the full depth.
deep_case "${DEEP_LEVELS:-60000}" 1024 1 8

# A folder the walk closed to keep within its descriptors is swapped for
# another user's folder before the walk climbs back to it: the reopen finds
# another folder at the name and refuses it, with its reason, instead of
# walking it; the run ends normally. The fault library stops the run at the
# bottom of the chain, while the folders above are closed.
case_begin "a folder swapped while the walk had it closed is refused when it climbs back"
WORK=$(realpath "$WORK")
CASE_DIR=$(realpath "$CASE_DIR")
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
mkdir -p "$src/a" "$src/other"
"$DEEPTREE" make "$src/a" 60 || fail "cannot make the tree"
echo "not for the backup" >"$src/other/secret"
bottom="$src/a$(printf '/d%.0s' $(seq 60))/bottom"
(ulimit -n 100 && LINKSNAP_WORKERS=1 LD_PRELOAD="$FAULT_SHIM" FAULT_STOP_PATH="$bottom" \
    exec "$LINKSNAP" "$src" "$bk") >"$OUT" 2>"$ERR" </dev/null &
pid=$!
if wait_stopped "$pid"; then
    mv "$src/a" "$src/a.first" && mv "$src/other" "$src/a"
else
    fail "the run did not stop at the bottom"
fi
kill -CONT "$pid"
wait "$pid"
RC=$?
expect_rc 0
expect_contains "$ERR" "copy error $bk/$TODAY/a/"
expect_contains "$ERR" "    openat: another folder stands at its name since it was first opened"
[ -s "$OUT" ] || fail "no summary on standard output"
expect_contains "$bk/_dir" "$TODAY"
[ ! -e "$bk/$TODAY/a/secret" ] || fail "the swapped-in folder was walked"
# What the walk had done below it before the swap stays done.
cmp -s "$src/a.first${bottom#"$src/a"}" "$bk/$TODAY/a${bottom#"$src/a"}" || fail "the bottom file was not backed up"

finish
