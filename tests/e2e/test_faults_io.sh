#!/usr/bin/env bash
# Faults of the disk and the file system during a run, on Linux: a full
# disk, missing rights, files and folders that change under the walk, a read
# error in the middle of a file, and a kill. Each case checks that the walk
# goes on, the exit code, the channel and counter of the failure, and that
# nothing already backed up changes.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

: "${FAULT_SHIM:?FAULT_SHIM must name the fault library (tests/e2e/shims)}"

# The fault library goes in front of the program; a program built with a
# shared AddressSanitizer runtime needs that runtime loaded first.
asan_runtime=$(ldd "$LINKSNAP" 2>/dev/null | awk '/libasan/ { print $3 }')
PRELOAD="${asan_runtime:+$asan_runtime }$FAULT_SHIM"

# run_with_faults VAR=VALUE... -- ARGS: the program with the fault library.
run_with_faults() {
    local settings=()
    while [ "$1" != "--" ]; do
        settings+=("$1")
        shift
    done
    shift
    env LD_PRELOAD="$PRELOAD" "${settings[@]}" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    RC=$?
}

# run_limited KIB ARGS: the program with files limited to KIB KiB, the
# signal for a file that grows too large ignored: a write past the limit
# comes up short, as on a full disk.
# Its output goes through pipes, so that the limit spares the test's records.
run_limited() {
    local kib=$1
    shift
    {
        bash -c 'ulimit -f "$1"; trap "" XFSZ; shift; exec "$@"' _ "$kib" "$LINKSNAP" "$@" \
            </dev/null 2>&1 1>&3 3>&- | cat >"$ERR"
        echo "${PIPESTATUS[0]}" >"$WORK/.rc"
    } 3>&1 | cat >"$OUT"
    RC=$(cat "$WORK/.rc")
}

# A source tree of small files, one larger file and a subfolder.
make_source() {
    mkdir -p "$1/sub"
    printf 'alpha' >"$1/a.txt"
    printf 'zulu' >"$1/z.txt"
    printf 'inner' >"$1/sub/c.txt"
    head -c 300000 /dev/urandom >"$1/big.bin"
}

# Rewrites FILE with new bytes of the same length and a newer time.
change_file() {
    head -c "$(stat -c %s "$1")" /dev/urandom >"$1"
    touch -d '+1 minute' "$1"
}

mtime() { stat -c %Y.%y "$1"; }

# The next day the file reads and writes well: the failed copy is no twin,
# so the file is copied again, whole, while the good files are linked.
expect_copied_again_next_day() {
    local src=$1 bk=$2 snap=$3
    age_snapshot "$bk" 2000_01_01 "$src"
    run_linksnap -s "$src" "$bk"
    expect_rc 0
    cmp -s "$src/big.bin" "$snap/big.bin" || fail "big.bin not copied whole"
}

WORK=$(realpath "$WORK")

case_begin "a full disk cuts one copy short: reported, the rest goes on, the next run copies it again"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
run_linksnap -s "$src" "$bk"
expect_rc 0
age_snapshot "$bk" 2000_01_01 "$src"
remember "$bk/2000_01_01"
change_file "$src/big.bin"
printf 'new' >"$src/new.txt"
run_limited 64 "$src" "$bk"
expect_rc 0
snap="$bk/$TODAY"
expect_lines "$ERR" "copy error $snap/big.bin" "$(why 'pwrite: File too large')"
expect_contains "$bk/log.txt" "unwritable file: $snap/big.bin"
expect_contains "$OUT" "$(counter_line 1 'write errors')"
# Only whole copies count their bytes: new.txt's 3.
expect_contains "$OUT" "$(counter_line 3 'bytes copied')"
expect_linked "$snap/a.txt" "$bk/2000_01_01/a.txt"
expect_file "$snap/new.txt" "new"
# The cut copy is removed: it must never pass for the file in a restore.
expect_absent "$snap/big.bin"
expect_unchanged "$bk/2000_01_01"
expect_contains "$bk/_dir" "$TODAY"
# The next day: the short copy is no twin; the file is copied whole.
age_snapshot "$bk" 2000_01_02 "$src"
run_linksnap -s "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
cmp -s "$src/big.bin" "$snap/big.bin" || fail "big.bin not copied again"
expect_linked "$snap/a.txt" "$bk/2000_01_01/a.txt"

case_begin "a disk with no room at all: the run is refused before any file, the root as it was"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
remember "$bk/2000_01_01"
keep_state
cp "$bk/log.txt" "$CASE_DIR/log"
cp "$bk/_catalog" "$CASE_DIR/catalog"
change_file "$src/big.bin"
run_limited 0 "$src" "$bk"
expect_rc 1
snap="$bk/$TODAY"
# Not even the catalog's line of the new snapshot could be written.
expect_lines "$ERR" "cannot create: $snap/" "    fflush: File too large"
expect_file "$OUT" ""
expect_absent "$snap"
expect_state_kept
cmp -s "$CASE_DIR/log" "$bk/log.txt" || fail "the log file changed"
cmp -s "$CASE_DIR/catalog" "$bk/_catalog" || fail "the catalog changed"
expect_absent "$bk/_dir.new"
expect_absent "$bk/_catalog.new"
expect_unchanged "$bk/2000_01_01"

case_begin "unreadable source files and folders are reported and skipped (unprivileged run)"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
printf 'secret' >"$src/secret.txt"
mkdir -p "$src/locked" "$src/listless"
printf 'x' >"$src/locked/in.txt"
printf 'y' >"$src/listless/in.txt"
chmod 000 "$src/secret.txt" "$src/locked"
# Names can be listed but not looked up: each entry is unreadable.
chmod 644 "$src/listless"
mkdir "$bk"
chown 65534:65534 "$bk"
run_linksnap_unprivileged "$src" "$bk"
chmod 755 "$src/locked" "$src/listless"
expect_rc 0
snap="$bk/$TODAY"
expect_count "$ERR" 3 "copy error "
expect_contains "$ERR" "copy error $snap/secret.txt"
expect_contains "$ERR" "copy error $snap/locked/"
expect_contains "$ERR" "copy error $snap/listless/in.txt"
expect_contains "$bk/log.txt" "unreadable file: $src/secret.txt"
expect_contains "$bk/log.txt" "unreadable file: $src/locked/"
expect_contains "$bk/log.txt" "unreadable file: $src/listless/in.txt"
expect_contains "$OUT" "$(counter_line 3 'unreadable files skipped')"
expect_file "$snap/a.txt" "alpha"
expect_file "$snap/sub/c.txt" "inner"
expect_contains "$bk/_dir" "$TODAY"

case_begin "an unwritable backup root: the run is refused before any file, nothing in the root changes (unprivileged run)"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
change_file "$src/z.txt"
# The root and its state file opened to the user, so that only writing fails.
chmod 755 "$bk"
chmod 644 "$bk/_dir"
remember "$bk"
run_linksnap_unprivileged "$src" "$bk"
expect_rc 1
# The lock file of the root's owner cannot be opened: said, with its
# reason; then today's folder cannot be made, and nothing is tried.
expect_lines "$ERR" "cannot lock $bk/_lock" "    open: Permission denied" \
    "cannot create: $bk/$TODAY/" "    open: Permission denied"
expect_stdout ""
expect_unchanged "$bk"

case_begin "an unwritable log file: the run goes on and reports on the console (unprivileged run)"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
printf 'secret' >"$src/secret.txt"
chmod 000 "$src/secret.txt"
mkdir "$bk"
chown 65534:65534 "$bk"
printf 'earlier runs\n' >"$bk/log.txt"
chmod 644 "$bk/log.txt"
run_linksnap_unprivileged "$src" "$bk"
expect_rc 0
snap="$bk/$TODAY"
expect_lines "$ERR" "copy error $snap/secret.txt" "$(why 'openat: Permission denied')"
expect_contains "$OUT" "$(counter_line 1 'unreadable files skipped')"
expect_file "$bk/log.txt" "earlier runs"$'\n'
expect_file "$snap/a.txt" "alpha"
expect_contains "$bk/_dir" "$TODAY"

case_begin "a file that vanishes after its folder was listed"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
printf 'gone soon' >"$src/gone.txt"
run_with_faults FAULT_VANISH_PATH="$src/gone.txt" -- "$src" "$bk"
expect_rc 0
snap="$bk/$TODAY"
expect_lines "$ERR" "copy error $snap/gone.txt" "$(why 'openat: No such file or directory')"
expect_contains "$bk/log.txt" "unreadable file: $src/gone.txt"
expect_contains "$OUT" "$(counter_line 1 'unreadable files skipped')"
expect_absent "$snap/gone.txt"
expect_same_tree "$src" "$snap"

# The folder sub of make_source could not be listed whole: reported with
# both its paths and counted as unreadable; the rest of the snapshot is whole.
expect_sub_unlisted() {
    local src=$1 bk=$2 reason=$3
    expect_rc 0
    expect_lines "$ERR" "copy error $bk/$TODAY/sub/" "$(why "$reason")"
    expect_contains "$bk/log.txt" "unreadable file: $src/sub/"
    expect_contains "$OUT" "$(counter_line 1 'unreadable files skipped')"
    expect_file "$bk/$TODAY/a.txt" "alpha"
}

case_begin "a folder replaced by a file after its parent was listed"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
run_with_faults FAULT_REPLACE_DIR="$src/sub" -- "$src" "$bk"
expect_sub_unlisted "$src" "$bk" "openat: Not a directory"
snap="$bk/$TODAY"
# The next run takes the file in the folder's place, and the moved folder.
age_snapshot "$bk" 2000_01_01 "$src"
remember "$bk/2000_01_01"
run_linksnap -s "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
expect_same_tree "$src" "$snap"
expect_unchanged "$bk/2000_01_01"

case_begin "a folder listing that breaks off part-way is reported, not taken as the folder's end"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
run_with_faults FAULT_LIST_PATH="$src/sub" -- "$src" "$bk"
expect_sub_unlisted "$src" "$bk" "getdents64: Input/output error"

case_begin "a read error in the middle of a file: reported, and the part copied is no twin"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
run_with_faults FAULT_READ_PATH="$src/big.bin" FAULT_READ_AFTER=100000 -- "$src" "$bk"
expect_rc 0
snap="$bk/$TODAY"
expect_lines "$ERR" "copy error $snap/big.bin" "$(why 'pread: Input/output error')"
expect_contains "$bk/log.txt" "unreadable file: $src/big.bin"
expect_contains "$OUT" "$(counter_line 1 'unreadable files skipped')"
expect_absent "$snap/big.bin"
expect_file "$snap/a.txt" "alpha"
expect_copied_again_next_day "$src" "$bk" "$snap"
expect_linked "$snap/a.txt" "$bk/2000_01_01/a.txt"

# A program built with a sanitizer keeps its own allocator, which the fault
# library cannot make fail.
if ! grep -qaE '__(asan|tsan)_init' "$LINKSNAP"; then
case_begin "a copy that fails for want of memory is reported, logged and counted"
# The kernel cannot copy to this disk, and the machine has no memory left
# for a buffer the size of big.bin (ulimit -v on a busy machine).
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
run_with_faults FAULT_NO_KERNEL_COPY=1 FAULT_MALLOC_OVER=200000 -- "$src" "$bk"
expect_rc 0
snap="$bk/$TODAY"
expect_lines "$ERR" "copy error $snap/big.bin" "$(why 'malloc: Cannot allocate memory')"
expect_contains "$bk/log.txt" "unreadable file: $src/big.bin"
expect_contains "$OUT" "$(counter_line 1 'unreadable files skipped')"
expect_contains "$bk/log.txt" "$(counter_line 1 'unreadable files skipped')"
expect_absent "$snap/big.bin"
expect_file "$snap/sub/c.txt" "inner"
expect_copied_again_next_day "$src" "$bk" "$snap"
fi

case_begin "a write error reported only when the copy is closed"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
make_source "$src"
snap="$bk/$TODAY"
run_with_faults FAULT_CLOSE_PATH="$snap/big.bin" -- "$src" "$bk"
expect_rc 0
expect_lines "$ERR" "copy error $snap/big.bin" "$(why 'close: Input/output error')"
expect_contains "$bk/log.txt" "unwritable file: $snap/big.bin"
expect_contains "$OUT" "$(counter_line 1 'write errors')"
expect_absent "$snap/big.bin"
expect_copied_again_next_day "$src" "$bk" "$snap"

case_begin "a file whose attribute data cannot be read is still copied whole"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
# The only file of the run: the transfer buffer has no storage yet.
mkdir -p "$src"
head -c 300000 /dev/urandom >"$src/only.bin"
run_with_faults FAULT_STAT_PATH="$src/only.bin" -- "$src" "$bk"
expect_rc 0
cmp -s "$src/only.bin" "$bk/$TODAY/only.bin" || fail "only.bin not copied whole"

# Starts the program with the fault library, stopping at FAULT_STOP_PATH,
# waits until it has stopped there, and kills it.
kill_at() {
    local stop=$1
    shift
    env LD_PRELOAD="$PRELOAD" FAULT_STOP_PATH="$stop" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null &
    local pid=$!
    wait_stopped "$pid" || fail "the run did not stop at $stop"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null
}

case_begin "a run killed in the middle of the walk: the next run links against the last whole snapshot"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
remember "$bk/2000_01_01"
keep_state
change_file "$src/sub/c.txt"
kill_at "$src/sub/c.txt" -s "$src" "$bk"
expect_state_kept
expect_unchanged "$bk/2000_01_01"
# The next day: the killed run's snapshot stays as it is, beside.
mv "$bk/$TODAY" "$bk/2000_01_02"
run_linksnap -s "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
snap="$bk/$TODAY"
expect_linked "$snap/a.txt" "$bk/2000_01_01/a.txt"
expect_linked "$snap/big.bin" "$bk/2000_01_01/big.bin"
expect_same_tree "$src" "$snap"
expect_unchanged "$bk/2000_01_01"

case_begin "a run killed while it replaces the state file: the old state file is whole"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
first_snapshot
keep_state
kill_at "$bk/_dir.new" -s "$src" "$bk"
expect_state_kept
mv "$bk/$TODAY" "$bk/2000_01_02"
run_linksnap -s "$src" "$bk"
expect_rc 0
expect_linked "$bk/$TODAY/a.txt" "$bk/2000_01_01/a.txt"
expect_absent "$bk/_dir.new"
expect_contains "$bk/_dir" "$TODAY"

case_begin "a twin on another file system cannot be linked: reported, and the file is copied"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
elsewhere=$(mktemp -d /dev/shm/linksnap-e2e.XXXXXX 2>/dev/null || true)
if [ -z "$elsewhere" ] || [ "$(stat -c %d "$elsewhere")" = "$(stat -c %d "$WORK")" ]; then
    echo "skipped here: no second file system"
else
    make_source "$src"
    run_linksnap -s "$src" "$bk"
    # The previous snapshot moved by hand to another disk.
    mv "$bk/$TODAY" "$elsewhere/2000_01_01"
    printf '%s/\r\n%s/2000_01_01/\r\n' "$src" "$elsewhere" >"$bk/_dir"
    remember "$elsewhere"
    run_linksnap "$src" "$bk"
    expect_rc 0
    snap="$bk/$TODAY"
    expect_count "$ERR" 4 "link error "
    expect_contains "$ERR" "link error $snap/sub/c.txt"
    expect_contains "$bk/log.txt" "unlinkable file: $snap/sub/c.txt"
    expect_contains "$OUT" "$(counter_line 4 'link errors')"
    expect_same_tree "$src" "$snap"
    expect_unchanged "$elsewhere"
    rm -rf "$elsewhere"
fi

finish
