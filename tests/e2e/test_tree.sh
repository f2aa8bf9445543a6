#!/usr/bin/env bash
# What a snapshot keeps of the source tree beyond file content: the kind of
# a twin, permission, owner and link changes, folder times, and a backup
# disk that folds case, keeps coarse times and no modes (a FAT image).
. "$(dirname "$0")/lib.sh"

CRLF=$'\r\n'

# Moves today's snapshot to an earlier date name and makes the state file
# name it, as if the run had happened that day.
age_snapshot() {
    local bk=$1 name=$2
    mv "$bk/$TODAY" "$bk/$name"
    printf '%s\r\n$%s\r\n' "$(np "$3/")" "$(np "$bk/$name/" | cut -c2-)" >"$bk/_dir"
}

case_begin "folder times are carried, set after the folder's content"
src="$CASE_DIR/src"
mkdir -p "$src/a/b" "$src/empty"
printf 'x' >"$src/a/b/f"
touch -d '2003-04-05 06:07:08.5' "$src/a/b" "$src/empty"
touch -d '2004-04-05 06:07:08' "$src/a" "$src"
run_linksnap "$(np "$src")" "$(np "$CASE_DIR/bk")"
expect_rc 0
for d in "" a a/b empty; do
    [ "$(stat -c %.7Y "$CASE_DIR/bk/$TODAY/$d")" = "$(stat -c %.7Y "$src/$d")" ] ||
        fail "last-write time of folder '$d' not carried"
done

case_begin "a twin of another kind is no twin: copied without a link error"
# The previous snapshot holds a folder and a file where the source now has
# a file and a folder of the same names, sizes and times.
src="$CASE_DIR/src"
bk="$CASE_DIR/bk"
prev="$bk/2000_01_01"
mkdir -p "$src/now-folder" "$prev/was-folder" "$prev/now-folder"
size=$(stat -c %s "$prev/was-folder")
head -c "$size" /dev/zero >"$src/was-folder"
printf 'inner' >"$src/now-folder/f"
: >"$prev/now-folder/f"
touch -d '2005-01-01 00:00:00' "$src/was-folder" "$prev/was-folder"
printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$prev/" | cut -c2-)" >"$bk/_dir"
chmod 700 "$bk" # a root made by hand, closed to others like one linksnap makes
run_linksnap "$(np "$src")" "$(np "$bk")"
expect_rc 0
expect_stderr ""
[ -f "$bk/$TODAY/was-folder" ] && cmp -s "$src/was-folder" "$bk/$TODAY/was-folder" ||
    fail "the file that replaced a folder was not copied"
expect_file "$bk/$TODAY/now-folder/f" "inner"

if ! on_windows; then
    case_begin "permission, owner and link target changes reach the next snapshot"
    src="$CASE_DIR/src"
    bk="$CASE_DIR/bk"
    mkdir -p "$src"
    for f in same secret owned; do printf '%s' "$f" >"$src/$f"; done
    ln -s aaaa "$src/link"
    ln -s same "$src/same-link"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    age_snapshot "$bk" 2000_01_01 "$src"
    prev="$bk/2000_01_01"
    chmod 600 "$src/secret"
    # Same length and times, another target.
    t=$(stat -c %y "$src/link")
    rm "$src/link" && ln -s bbbb "$src/link" && touch -h -d "$t" "$src/link"
    [ "$(id -u)" = 0 ] && chown 65534:65534 "$src/owned"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    expect_stderr ""
    snap="$bk/$TODAY"
    expect_linked "$snap/same" "$prev/same"
    expect_linked "$snap/same-link" "$prev/same-link"
    expect_not_linked "$snap/secret" "$prev/secret"
    [ "$(stat -c %a "$snap/secret")" = 600 ] || fail "the narrowed mode did not reach the snapshot"
    [ "$(stat -c %a "$prev/secret")" = 644 ] || fail "the previous snapshot changed"
    [ "$(readlink "$snap/link")" = bbbb ] || fail "the changed link target did not reach the snapshot"
    if [ "$(id -u)" = 0 ]; then
        expect_not_linked "$snap/owned" "$prev/owned"
        [ "$(stat -c %u:%g "$snap/owned")" = 65534:65534 ] || fail "the new owner did not reach the snapshot"
    fi
fi

# A FAT file system, mounted through FUSE: names fold case, times keep
# 2 seconds, every file shows mode 700 and hard links are refused.
fat_mounted=0
mount_fat() {
    FAT_IMAGE="$WORK/fat.img"
    FAT="$WORK/fat"
    mkdir -p "$FAT"
    truncate -s 8M "$FAT_IMAGE" && mkfs.vfat "$FAT_IMAGE" >/dev/null &&
        fusefat -o rw+ "$FAT_IMAGE" "$FAT" >/dev/null 2>&1 && fat_mounted=1
    [ "$fat_mounted" = 1 ] && trap 'fusermount -u "$FAT"; rm -rf "$WORK"' EXIT
    [ "$fat_mounted" = 1 ]
}

if ! on_windows && [ "$(id -u)" = 0 ] && command -v fusefat >/dev/null &&
    command -v mkfs.vfat >/dev/null && [ -e /dev/fuse ] && mount_fat; then
    case_begin "a case-folding backup disk never lets one file replace another"
    src="$CASE_DIR/src"
    mkdir -p "$src/Dir" "$src/dir"
    printf 'upper' >"$src/README.txt"
    printf 'lower' >"$src/readme.txt"
    printf 'one' >"$src/Dir/one"
    printf 'two' >"$src/dir/two"
    bk="$FAT/bk"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    snap="$bk/$TODAY"
    # The listing order decides which name comes first; the other is the
    # one reported.
    kept=$(cat "$snap/readme.txt")
    case "$kept" in
    upper) lost=readme.txt ;;
    lower) lost=README.txt ;;
    *) fail "the snapshot holds '$kept'" ;;
    esac
    [ -e "$snap/Dir/one" ] && lostdir=dir || lostdir=Dir
    # Each failure's line and the reason under it: the name is taken.
    [ "$(wc -l <"$ERR")" = 4 ] || fail "stderr: $(cat "$ERR")"
    [ "$(grep -c '^    [a-z]*at: File exists$' "$ERR")" = 2 ] || fail "reasons: $(cat "$ERR")"
    grep -qxF "copy error $snap/$lost" "$ERR" || fail "no copy error for $lost"
    grep -qxF "copy error $snap/$lostdir/" "$ERR" || fail "no copy error for $lostdir/"
    # (Not the log file: fusefat loses appends to an existing file.)
    expect_contains "$OUT" "$(printf '%22s' 2) write errors"
    [ "$(ls "$snap/dir")" = "$([ $lostdir = dir ] && echo one || echo two)" ] ||
        fail "the two folders were merged"

    case_begin "a backup disk without hard links copies unchanged files, said once"
    # FAT makes no hard links: the run finds out once, says so after the
    # start lines and in the log, and copies unchanged files as copies,
    # with no link error for each.
    src="$CASE_DIR/src"
    mkdir -p "$src/sub"
    printf 'a' >"$src/a"
    printf 'b' >"$src/sub/b"
    printf 'c' >"$src/c"
    touch -d '2010-01-01 00:00:01.123456789' "$src/a" "$src/sub/b" "$src/c"
    bk="$FAT/bk2"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    age_snapshot "$bk" 2000_01_01 "$src"
    printf 'C' >"$src/c"
    run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    said="hard links are not supported on $(np "$bk/"): unchanged files are copied."
    [ "$(grep -cF "$said" "$OUT")" = 1 ] || fail "the missing hard links are not said once"
    [ "$(sed -n 3p "$OUT")" = "$said" ] || fail "the missing hard links are not said after the start lines"
    expect_contains "$OUT" "$(printf '%22s' 3) files copied"
    grep -qF "link error" "$ERR" && fail "a link error was reported"
    expect_file "$bk/$TODAY/c" "C"
    expect_file "$bk/$TODAY/sub/b" "b"
    expect_file "$bk/$TODAY/a" "a"
fi

finish
