#!/usr/bin/env bash
# Full and incremental snapshots of real trees: what lands in the snapshot,
# byte for byte, with times, modes, links and the refusals of a run.
#
# The same cases run for the Windows build under Wine, with two differences
# of the platform: symbolic links are followed there rather than stored
# (so the trees of that build hold none), and times carry at 100 ns.
. "$(dirname "$0")/lib.sh"

# A source tree with the kinds of entries a backup meets.
make_tree() {
    local src=$1
    mkdir -p "$src/a/b/c" "$src/.hidden/inner" "$src/empty dir" "$src/a/.cache"
    : >"$src/empty"
    printf 'hello\n' >"$src/a/hello.txt"
    head -c 65536 /dev/urandom >"$src/a/binary.bin"
    head -c $((5 * 1024 * 1024 + 3)) /dev/urandom >"$src/a/b/big.dat"
    printf 'read only\n' >"$src/a/readonly.txt"
    chmod 444 "$src/a/readonly.txt"
    printf 'blank and percent\n' >"$src/a/b/c/name with blanks %s %d.txt"
    printf 'x' >"$src/.hidden/inner/secret"
    printf 'y' >"$src/a/.cache/cached"
    printf 'dot file\n' >"$src/.profile"
    touch -d '2001-02-03 04:05:06.123456789' "$src/a/hello.txt"
    if ! on_windows; then
        # Windows folders take their access from the backup root.
        chmod 750 "$src/a/b"
        ln -s hello.txt "$src/a/link-to-hello"
        ln -s ../../nowhere "$src/a/dangling"
        ln -s .. "$src/a/b/loop"
        touch -h -d '2002-02-03 04:05:06.5' "$src/a/link-to-hello"
    fi
}

# Files of make_tree that a full snapshot copies: seven, and where they
# are stored as links the three symbolic links. Windows leaves out hidden
# folders (Wine marks dot names hidden); Linux has no hidden entries and
# backs up the two files in dot-folders as well.
if on_windows; then
    TREE_FILES=7
    HIDDEN=(-name .hidden -o -name .cache -o)
else
    TREE_FILES=12
    HIDDEN=()
fi

case_begin "full snapshot reproduces the tree"
src="$CASE_DIR/src"
make_tree "$src"
mkfifo "$src/a/pipe"
bk="$CASE_DIR/bk"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$bk/$TODAY"
# On Windows hidden folders are left out at every depth; the FIFO is never
# opened and so not copied; a hidden file outside a drive root is backed up.
expect_same_tree "$src" "$snap" "${HIDDEN[@]}" -type p
if on_windows; then
    expect_absent "$snap/.hidden"
    expect_absent "$snap/a/.cache"
else
    expect_present "$snap/.hidden/inner/secret"
fi
expect_present "$snap/.profile"
if on_windows; then
    [ "$(stat -c %.7Y "$snap/a/hello.txt")" = "$(stat -c %.7Y "$src/a/hello.txt")" ] ||
        fail "last-write time not carried to 100 ns"
else
    [ -L "$snap/a/link-to-hello" ] || fail "a symbolic link was not stored as a link"
    [ "$(readlink "$snap/a/b/loop")" = ".." ] || fail "link target changed"
    [ "$(stat -c %Y.%y "$snap/a/hello.txt")" = "$(stat -c %Y.%y "$src/a/hello.txt")" ] ||
        fail "last-write time not carried to the nanosecond"
    [ "$(stat -c %a "$snap/a/b")" = 750 ] || fail "folder mode changed"
fi
[ "$(stat -c %a "$snap/a/readonly.txt")" = 444 ] || fail "read-only mode not carried"
expect_contains "$OUT" "no previous backup. full backup required."
expect_contains "$OUT" "backup destination $(np "$bk/$TODAY/")"
# All files copied (links count as files with no bytes), one unreadable.
expect_contains "$OUT" "$(printf '%22s' "$TREE_FILES") files copied"
expect_contains "$OUT" "                     1 unreadable files skipped"
expect_contains "$bk/log.txt" "unreadable file: $(np "$src/a/pipe")"
expect_lines "$ERR" "copy error $(np "$snap/a/pipe")" \
    "$(why 'open: not a regular file' 'GetFileAttributesExW: Invalid parameter')"

case_begin "a second run on the same day is refused"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 1
expect_lines "$ERR" "destination $(np "$bk/$TODAY/") already exists."
expect_stdout ""

case_begin "a missing source is refused"
run_linksnap "$(np "$CASE_DIR/nothing")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_lines "$ERR" "no dir: $(np "$CASE_DIR/nothing/")"
printf 'not a folder' >"$CASE_DIR/file"
run_linksnap "$(np "$CASE_DIR/file")" "$(np "$CASE_DIR/bk")"
expect_rc 1
expect_lines "$ERR" "no dir: $(np "$CASE_DIR/file/")"

case_begin "source and backup root given through symbolic links"
mkdir -p "$CASE_DIR/real-src" "$CASE_DIR/real-bk"
printf 'data' >"$CASE_DIR/real-src/f"
ln -s real-src "$CASE_DIR/src-link"
ln -s real-bk "$CASE_DIR/bk-link"
# np keeps the last component: the program is handed the links.
run_linksnap "$(np "$CASE_DIR")$SEP"src-link "$(np "$CASE_DIR")$SEP"bk-link
expect_rc 0
expect_file "$CASE_DIR/real-bk/$TODAY/f" "data"

case_begin "a walk against the previous snapshot links unchanged files"
src="$CASE_DIR/src"
make_tree "$src"
bk="$CASE_DIR/bk"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
mv "$bk/$TODAY" "$bk/2000_01_01"
printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$bk/2000_01_01/" | cut -c2-)" >"$bk/_dir"
prev="$bk/2000_01_01"
printf 'changed!\n' >"$src/a/hello.txt"   # size changes
touch -d '2003-01-01' "$src/a/binary.bin" # time changes
mkdir "$src/a/newdir" && printf 'new' >"$src/a/newdir/n"
rm "$src/a/b/c/name with blanks %s %d.txt"
mkdir "$src/a/b/c/name with blanks %s %d.txt" # a folder whose twin is a file
printf 'inner' >"$src/a/b/c/name with blanks %s %d.txt/inner"
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
snap="$bk/$TODAY"
expect_contains "$OUT" "starting incremental backup."
expect_linked "$snap/a/b/big.dat" "$prev/a/b/big.dat"
expect_linked "$snap/a/readonly.txt" "$prev/a/readonly.txt"
expect_linked "$snap/empty" "$prev/empty"
on_windows || expect_linked "$snap/a/link-to-hello" "$prev/a/link-to-hello"
expect_not_linked "$snap/a/hello.txt" "$prev/a/hello.txt"
expect_not_linked "$snap/a/binary.bin" "$prev/a/binary.bin"
expect_file "$prev/a/hello.txt" "hello
"
if on_windows; then
    expect_same_tree "$src" "$snap" -name .hidden -o -name .cache
else
    expect_same_tree "$src" "$snap"
fi
expect_contains "$OUT" "link $(np "$snap/a/b/big.dat")"
expect_contains "$OUT" "copy $(np "$snap/a/newdir/n")"
# The state file now names the new snapshot.
expect_file "$bk/_dir" "$(np "$src/")"$'\r\n'"\$$(np "$bk/$TODAY/" | cut -c2-)"$'\r\n'

case_begin "a failed hard link still yields a complete snapshot"
if [ "$(id -u)" != 0 ] || [ "$(cat /proc/sys/fs/protected_hardlinks 2>/dev/null)" != 1 ]; then
    echo "skipped: needs root and fs.protected_hardlinks=1 to make link() fail"
else
    # The twins belong to root and are not writable for the user who runs
    # the backup: the kernel refuses the hard link (protected_hardlinks),
    # as a file system without hard links or a full link count would.
    src="$CASE_DIR/src"
    mkdir -p "$src/d" "$CASE_DIR/bk/2000_01_01/d"
    printf 'one' >"$src/d/one"
    printf 'two' >"$src/two"
    cp -a "$src/d/one" "$CASE_DIR/bk/2000_01_01/d/one"
    cp -a "$src/two" "$CASE_DIR/bk/2000_01_01/two"
    chmod -R a+rX "$src" "$CASE_DIR/bk"
    chown 65534:65534 "$CASE_DIR/bk"
    printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$CASE_DIR/bk/2000_01_01/" | cut -c2-)" >"$CASE_DIR/bk/_dir"
    chown 65534:65534 "$CASE_DIR/bk/_dir"
    run_linksnap_unprivileged "$(np "$src")" "$(np "$CASE_DIR/bk")"
    expect_rc 0
    snap="$CASE_DIR/bk/$TODAY"
    expect_file "$snap/d/one" "one"
    expect_file "$snap/two" "two"
    grep -c '^link error' "$ERR" | grep -qx 2 || fail "expected two link errors on stderr"
    expect_contains "$OUT" "                     2 link errors"
    expect_contains "$OUT" "                     2 files copied"
    expect_contains "$CASE_DIR/bk/log.txt" "unlinkable file: $(np "$snap/two")"
fi

case_begin "a run whose copies fail still exits 0"
if [ "$(id -u)" != 0 ]; then
    echo "skipped: needs root to drop privileges"
else
    src="$CASE_DIR/src"
    mkdir -p "$src"
    printf 'secret' >"$src/locked"
    chmod 600 "$src/locked"
    chmod 755 "$src"
    mkdir "$CASE_DIR/bk" && chown 65534:65534 "$CASE_DIR/bk"
    run_linksnap_unprivileged "$(np "$src")" "$(np "$CASE_DIR/bk")"
    expect_rc 0
    expect_lines "$ERR" "copy error $(np "$CASE_DIR/bk/$TODAY/locked")" \
        "$(why 'openat: Permission denied' '_wfopen_s: Permission denied')"
    expect_absent "$CASE_DIR/bk/$TODAY/locked"
    expect_contains "$CASE_DIR/bk/log.txt" "unreadable file: $(np "$src/locked")"
fi

case_begin "a backup root inside the source is left out"
src="$CASE_DIR/src"
mkdir -p "$src/docs"
printf 'doc' >"$src/docs/a"
run_linksnap "$(np "$src")" "$(np "$src/backups")"
expect_rc 0
expect_file "$src/backups/$TODAY/docs/a" "doc"
expect_absent "$src/backups/$TODAY/backups"
run_linksnap "$(np "$src")" "$(np "$src")"
expect_rc 1
expect_lines "$ERR" "source and backup root are one folder: $(np "$src/")"

case_begin "a folder name of the longest length allowed is backed up"
# 255 characters, the limit of both platforms' file systems, and on Linux
# 255 bytes of three-byte characters as well.
src="$CASE_DIR/src"
long=$(printf 'n%.0s' $(seq 255))
mkdir -p "$src/$long/$long" "$src/ok"
printf 'kept' >"$src/ok/f"
printf 'inside' >"$src/$long/$long/f"
if ! on_windows; then
    wide=$(printf '\xe2\x82\xac%.0s' $(seq 85))
    mkdir "$src/$wide"
    printf 'euro' >"$src/$wide/f"
fi
run_linksnap "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 0
expect_stderr ""
expect_same_tree "$src" "$CASE_DIR/bk/$TODAY"

finish
