#!/usr/bin/env bash
# Root backs up a tree that another user changes during the run, into a
# backup root that others can write to: no file outside the source is read
# into a snapshot, nothing outside the backup root is changed, no copy is
# readable by more users than its source at any moment, and the program's
# own files in the root are never followed, nor hang the run.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
    echo "skipped: needs root and setpriv"
    exit 77
fi
: "${SWAPPER:?SWAPPER must name the swapping helper}"

USER_ID=65534
as_user() { setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups "$@"; }

# Another user swapping two of their names in a loop; the pids land in SWAPS.
SWAPS=()
start_swapping() {
    # Started as a simple command, so that $! is the swapper itself, which
    # stop_swapping can end: a shell in between would leave it running.
    setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups "$SWAPPER" "$1" "$2" &
    SWAPS+=($!)
}
stop_swapping() {
    local pid
    for pid in "${SWAPS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    SWAPS=()
}
trap 'stop_swapping; rm -rf "$WORK"' EXIT

# What the file (mode, owner, group, content) is now.
fingerprint() { stat -c '%a %u %g %s' "$1" && md5sum <"$1"; }

case_begin "a user swapping folders and links during runs never gets a root file copied or changed"
secret="$CASE_DIR/secret"
mkdir -m 700 "$secret"
printf 'SECRET' >"$secret/topsecret"
chmod 600 "$secret/topsecret"
victim="$CASE_DIR/victim"
printf 'VICTIM' >"$victim"
chmod 600 "$victim"
before=$(fingerprint "$victim")
src="$CASE_DIR/src"
u="$src/u"
mkdir -p "$u/d"
printf 'mine' >"$u/d/f"
printf 'mine too' >"$u/r"
chmod 4777 "$u/r"
ln -s "$secret" "$u/l"
ln -s "$victim" "$u/v"
chown -R -h $USER_ID:$USER_ID "$u"
# The folder d and a link to the root-only folder trade places, and so do
# a link to the victim and a set-uid file of the user.
start_swapping "$u/d" "$u/l"
start_swapping "$u/v" "$u/r"
for k in $(seq 1 25); do
    run_linksnap "$src" "$CASE_DIR/bk$k"
    [ "$RC" = 0 ] || fail "run $k: exit code $RC"
done
stop_swapping
grep -rl SECRET "$CASE_DIR"/bk*/ >/dev/null 2>&1 && fail "a root-only file was read into a snapshot"
[ -z "$(find "$CASE_DIR"/bk*/ -name topsecret)" ] || fail "the root-only folder was walked"
[ "$(fingerprint "$victim")" = "$before" ] || fail "the file outside was changed: $(fingerprint "$victim")"
[ "$(stat -c %a "$secret")" = 700 ] || fail "the root-only folder was changed"
# Whatever a snapshot got of the user's files is the user's, never root's
# with the user's mode.
while IFS= read -r f; do
    [ "$(stat -c %u "$f")" = $USER_ID ] || fail "$f is not owned by the user"
done < <(find "$CASE_DIR"/bk*/"$TODAY"/u -mindepth 1 -type f)

case_begin "a private file's copy is never readable by others, during the copy or after a kill"
src="$CASE_DIR/src"
mkdir -m 700 -p "$src/private"
chmod 700 "$src"
head -c $((96 * 1024 * 1024)) /dev/zero >"$src/private/big"
chmod 600 "$src/private/big"
bk="$CASE_DIR/bk"
"$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR" &
pid=$!
seen=""
while kill -0 "$pid" 2>/dev/null; do
    seen+=" $(stat -c %a "$bk/$TODAY" "$bk/$TODAY/private" "$bk/$TODAY/private/big" 2>/dev/null | tr '\n' ' ')"
done
wait "$pid"
modes=$(echo "$seen" | tr ' ' '\n' | sort -u | tr '\n' ' ')
case "$modes" in
*[0-7][1-7][0-7]* | *[0-7][0-7][1-7]*) fail "modes seen during the copy: $modes" ;;
esac
[ "$(stat -c %a "$bk/$TODAY/private/big")" = 600 ] || fail "the copy's final mode is not the source's"
[ "$(stat -c %a "$bk/$TODAY/private")" = 700 ] || fail "the folder's final mode is not the source's"
# Killed while the copy is written: what is left stays private.
bk="$CASE_DIR/bk-killed"
"$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR" &
pid=$!
while kill -0 "$pid" 2>/dev/null && [ ! -e "$bk/$TODAY/private/big" ]; do :; done
kill -9 "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
[ "$(stat -c %a "$bk/$TODAY")" = 700 ] || fail "a killed run's snapshot folder is left open: $(stat -c %a "$bk/$TODAY")"
if [ -e "$bk/$TODAY/private/big" ]; then
    case "$(stat -c %a "$bk/$TODAY/private/big")" in
    600 | 400 | 0) ;;
    *) fail "a killed copy is left readable: $(stat -c %a "$bk/$TODAY/private/big")" ;;
    esac
fi

case_begin "links and FIFOs named like the root's own files are never followed nor hang the run"
src="$CASE_DIR/src"
mkdir -p "$src"
printf 'a' >"$src/a"
outside="$CASE_DIR/outside"
mkdir "$outside"
printf 'keep log' >"$outside/log"
printf 'keep state' >"$outside/state"
bk="$CASE_DIR/bk"
mkdir "$bk"
ln -s "$outside/log" "$bk/log.txt"
ln -s "$outside/state" "$bk/_dir.new"
timeout 20 "$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR"
RC=$?
expect_rc 0
expect_file "$outside/log" "keep log"
expect_file "$outside/state" "keep state"
[ -f "$bk/_dir" ] && [ ! -L "$bk/_dir" ] || fail "no state file written"
for name in _dir _dir.new log.txt; do
    bk="$CASE_DIR/bk-fifo-$name"
    mkdir "$bk"
    mkfifo "$bk/$name"
    timeout 20 "$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR"
    RC=$?
    [ "$RC" != 124 ] || fail "a FIFO named $name hangs the run"
    expect_file "$bk/$TODAY/a" "a"
done

case_begin "anything of today's name in the root refuses the run and changes nothing"
src="$CASE_DIR/src"
mkdir -p "$src"
printf 'a' >"$src/a"
for kind in file dangling link; do
    bk="$CASE_DIR/bk-$kind"
    mkdir -p "$bk/2000_01_01"
    printf '%s\r\n$%s\r\n' "$src/" "$bk/2000_01_01/" >"$bk/_dir"
    cp "$bk/_dir" "$CASE_DIR/state-before"
    case $kind in
    file) printf 'x' >"$bk/$TODAY" ;;
    dangling) ln -s "$CASE_DIR/nowhere" "$bk/$TODAY" ;;
    link) mkdir "$CASE_DIR/elsewhere" && ln -s "$CASE_DIR/elsewhere" "$bk/$TODAY" ;;
    esac
    run_linksnap "$src" "$bk"
    expect_rc 1
    expect_stderr "destination $bk/$TODAY/ already exists.$NL"
    cmp -s "$bk/_dir" "$CASE_DIR/state-before" || fail "$kind: the state file changed"
done
[ -z "$(ls "$CASE_DIR/elsewhere")" ] || fail "something was written through the link"

case_begin "the day's folder swapped for a link during the run: nothing is written outside"
src="$CASE_DIR/src"
for d in $(seq 1 40); do
    mkdir -p "$src/d$d"
    for f in $(seq 1 60); do printf '%s' "$d.$f" >"$src/d$d/f$f"; done
done
outside="$CASE_DIR/outside"
mkdir "$outside"
bk="$CASE_DIR/bk"
mkdir "$bk"
"$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR" &
pid=$!
while kill -0 "$pid" 2>/dev/null && [ ! -e "$bk/$TODAY/d1" ]; do :; done
mv "$bk/$TODAY" "$bk/moved" && ln -s "$outside" "$bk/$TODAY"
wait "$pid"
[ -z "$(ls -A "$outside")" ] || fail "files were written outside the backup root: $(ls "$outside" | head -3)"

case_begin "a user swapping her folder for a link while root continues a stopped snapshot: nothing outside is touched"
: "${FAULT_SHIM:?FAULT_SHIM must name the fault library}"
src="$CASE_DIR/src" bk="$CASE_DIR/bk" outside="$CASE_DIR/outside"
mkdir -p "$src/u/d" "$outside/sub"
for n in o1 o2 o3 sub/o4; do printf 'keep %s' "$n" >"$outside/$n"; done
head -c 1000000 /dev/urandom >"$src/u/d/big"
printf 'mine' >"$src/u/d/f"
chown -R $USER_ID:$USER_ID "$src/u"
run_linksnap -s "$src" "$bk"
expect_rc 0
# As if that run had been stopped before its end: no state file names the
# snapshot, and the copy of big was not made yet. The root is one the user
# may enter, as older roots are; she owns her folder in the snapshot.
snap="$bk/$TODAY"
rm "$bk/_dir" "$snap/u/d/big"
set_catalog_line "$bk" "$TODAY" "unfinished						"
chmod 755 "$bk"
as_user ln -s "$outside" "$snap/u/x"
# The run stops itself as the copy of big begins in her folder; then she
# trades the folder for her link to the root-owned tree, once. One worker:
# with more, another thread may finish u (and remove her link, which has
# no source) before the copy in u/d begins.
env LD_PRELOAD="$FAULT_SHIM" FAULT_STOP_PATH="$snap/u/d/big" LINKSNAP_WORKERS=1 "$LINKSNAP" -s "$src" "$bk" \
    >"$OUT" 2>"$ERR" </dev/null &
pid=$!
wait_stopped "$pid" || fail "the run did not stop at the copy"
as_user "$SWAPPER" --once "$snap/u/d" "$snap/u/x" || fail "the swap failed"
kill -CONT "$pid"
wait "$pid"
for n in o1 o2 o3 sub/o4; do expect_file "$outside/$n" "keep $n"; done
grep -q "continuing the unfinished snapshot" "$bk/log.txt" || fail "the snapshot was not continued"

case_begin "the root's own files are for root alone whatever the umask; a root others may enter is pointed out"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
mkdir -p "$src"
printf 'x' >"$src/f"
umask_before=$(umask)
umask 000
"$LINKSNAP" -s "$src" "$bk" >"$OUT" 2>"$ERR"
[ "$(stat -c %a "$bk")" = 700 ] || fail "a new root is $(stat -c %a "$bk")"
for f in _dir log.txt _lock; do
    [ "$(stat -c %a "$bk/$f")" = 600 ] || fail "$f is $(stat -c %a "$bk/$f")"
done
expect_file "$ERR" ""
# An existing root open to others, with files others may read and write:
# narrowed, and said once.
rm -r "${bk:?}/$TODAY"
chmod 755 "$bk"
chmod 666 "$bk/_dir" "$bk/log.txt" "$bk/_lock"
run_linksnap -s "$src" "$bk"
umask "$umask_before"
expect_rc 0
expect_lines "$ERR" "backup root $bk/ may be entered by other users: chmod 700 $bk/"
for f in _dir log.txt _lock; do
    [ "$(stat -c %a "$bk/$f")" = 600 ] || fail "$f stays $(stat -c %a "$bk/$f")"
done

case_begin "a lock or log that is no regular file: named; linksnap runs unlocked without a log, prune refuses"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
mkdir -p "$src"
printf 'x' >"$src/f"
run_linksnap -s "$src" "$bk"
rm -r "${bk:?}/$TODAY" "$bk/log.txt" "$bk/_lock"
mkdir "$bk/_lock"
mkfifo "$bk/log.txt"
run_linksnap -s "$src" "$bk"
expect_rc 0
expect_lines "$ERR" "$bk/_lock is not a regular file: remove it." \
    "$bk/log.txt is not a regular file: this run's log is lost."
[ -f "$bk/$TODAY/f" ] || fail "the run made no snapshot"
LINKSNAP=$LINKSNAP_PRUNE run_linksnap d=1 "$bk"
expect_rc 1
expect_lines "$ERR" "$bk/_lock is not a regular file: remove it."
[ -d "$bk/$TODAY" ] || fail "prune deleted without the lock"

finish
