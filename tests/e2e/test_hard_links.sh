#!/usr/bin/env bash
# Files with several names: names of one source file are one file in the
# snapshot, whatever the number of workers, and link to their twin the
# next day; a twin that has as many names as its file system allows is
# replaced by a copy without an error (Linux, small ext4 and NTFS images).
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

export NO_FAKE_STAT=1
on_day() {
    local d=$1
    shift
    if on_windows; then
        WINEDEBUG=-all faketime "2031-03-0$d 12:00:00" "$LINKSNAP_EMULATOR" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    else
        faketime "2031-03-0$d 12:00:00" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    fi
    RC=$?
}

# Inode and link count of every name below a folder, the inode replaced by
# the first name that has it: the same for two snapshots of one shape.
link_shape() {
    (cd "$1" && find . -type f -printf '%i %n %P\n' | sort -k3 |
        awk '{ if (!($1 in first)) first[$1] = $3; print $3, first[$1], $2 }')
}

case_begin "names of one file are one file in the snapshot, with one worker or four, and link to it the next day"
src="$CASE_DIR/src"
for d in 1 2 3 4 5 6; do
    mkdir -p "$src/d$d/sub"
    for k in 1 2 3 4 5 6 7 8; do printf 'file %s %s\n' "$d" "$k" >"$src/d$d/f$k"; done
done
# Names across folders and within one; a file with many names; one name
# only of the rest.
for d in 1 2 3 4 5 6; do
    for k in 1 2 3; do ln "$src/d$d/f$k" "$src/d$(((d % 6) + 1))/sub/g$d$k"; done
    ln "$src/d$d/f4" "$src/d$d/f4b"
done
for d in 1 2 3 4 5 6; do ln "$src/d1/f8" "$src/d$d/sub/many"; done
workers_list="1 4"
on_windows && workers_list=1
for workers in $workers_list; do
    bk="$CASE_DIR/bk$workers"
    LINKSNAP_WORKERS=$workers on_day 1 "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    expect_file "$ERR" ""
    sed "s#$(np "$bk")#ROOT#g" "$OUT" | grep -v '^elapsed' >"$CASE_DIR/stdout.$workers"
    link_shape "$bk/2031_03_01" >"$CASE_DIR/shape.$workers"
    LINKSNAP_WORKERS=$workers on_day 2 "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    expect_file "$ERR" ""
    grep -q '^copy ' "$OUT" && fail "an unchanged name was copied the next day"
    for f in "$src"/d*/f* "$src"/d*/sub/*; do
        name=${f#"$src/"}
        expect_linked "$bk/2031_03_02/$name" "$bk/2031_03_01/$name"
    done
done
if ! on_windows; then
    for file in stdout shape; do
        cmp -s "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" ||
            { fail "$file differs between one worker and four"; diff "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" | head -5 >&2; }
    done
fi
bk="$CASE_DIR/bk1"
# 48 files: their 30 later names (18 + 6 + 6) are linked, the rest copied.
expect_contains "$CASE_DIR/stdout.1" "$(counter_line 48 'files copied')"
expect_contains "$CASE_DIR/stdout.1" "$(counter_line 30 'files linked')"
# Of the seven names of one file, the first met is the copy.
[ "$(tr '\\' / <"$CASE_DIR/stdout.1" | tr -d '\r' | grep -cE '^copy .*/2031_03_01/(d1/f8|d./sub/many)$')" = 1 ] ||
    fail "not one copy line for the seven names of d1/f8"
for d in 1 2 3 4 5 6; do
    expect_linked "$bk/2031_03_01/d$d/sub/many" "$bk/2031_03_01/d1/f8"
    expect_linked "$bk/2031_03_01/d$d/f4b" "$bk/2031_03_01/d$d/f4"
done
# Seven names a day, the next day's linked to the first day's.
[ "$(stat -c %h "$bk/2031_03_01/d1/f8")" = 14 ] || fail "d1/f8 has $(stat -c %h "$bk/2031_03_01/d1/f8") names"
[ "$(stat -c %h "$bk/2031_03_01/d1/f5")" = 2 ] || fail "a file with one name was linked to another"

if on_windows || [ "$(id -u)" != 0 ]; then
    finish
    exit
fi

# mount_image KIND NAME: a small empty file system of KIND (ext4, or NTFS
# through ntfs-3g) in an image file, mounted at $WORK/NAME; false where it
# cannot be made or mounted here.
mount_image() {
    local kind=$1 mnt="$WORK/$2"
    mkdir -p "$mnt"
    truncate -s 32M "$mnt.img"
    case $kind in
    ext4) command -v mkfs.ext4 >/dev/null && mkfs.ext4 -q -m 0 "$mnt.img" &&
        mount -o loop "$mnt.img" "$mnt" 2>/dev/null ;;
    ntfs) command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null && [ -e /dev/fuse ] &&
        mkntfs -F -Q "$mnt.img" >/dev/null 2>&1 && ntfs-3g -o permissions "$mnt.img" "$mnt" >/dev/null 2>&1 ;;
    esac
}
trap 'umount "$WORK/disk-ext4" "$WORK/disk-ntfs" 2>/dev/null; rm -rf "$WORK"' EXIT

# give_all_names TWIN FOLDER: links TWIN into FOLDER until its file system
# refuses another name; prints how many names it has then and the refusal.
# ntfs-3g keeps one entry per name in the file's list of attributes, and
# refuses (ERANGE) when those 256 KiB are full: 8,189 names, which take it
# minutes to make one by one. There named streams with long names fill
# most of the list first, and a few dozen names reach the same limit.
give_all_names() {
    python3 -c '
import errno, os, sys
twin, folder, ntfs = sys.argv[1], sys.argv[2], sys.argv[3] == "ntfs"
full = (errno.EMLINK, errno.ERANGE)
stream = lambda k: "user.%04d" % k + "x" * 246
streams = 0
while ntfs:
    try:
        os.setxattr(twin, stream(streams), b"")
    except OSError as e:
        if e.errno not in full: raise
        break
    streams += 1
for k in range(1, 3 if streams >= 2 else 1):
    os.removexattr(twin, stream(streams - k))
names = os.stat(twin).st_nlink
while True:
    try:
        os.link(twin, os.path.join(folder, str(names)))
    except OSError as e:
        if e.errno not in full: raise
        print(names, errno.errorcode[e.errno])
        break
    names += 1
' "$@"
}

for kind in ext4 ntfs; do
    mnt="$WORK/disk-$kind"
    if ! mount_image $kind "disk-$kind"; then
        echo "skipped: no $kind image could be made and mounted here"
        continue
    fi
    case_begin "a twin with all the names $kind allows is replaced by a copy, with no error"
    src="$CASE_DIR/src" bk="$mnt/bk"
    mkdir -p "$src"
    printf 'popular' >"$src/f"
    printf 'plain' >"$src/g"
    on_day 1 "$src" "$bk"
    expect_rc 0
    # The twin gets all the names it may have, the rest outside the root.
    mkdir "$mnt/names"
    took=$(give_all_names "$bk/2031_03_01/f" "$mnt/names" $kind)
    echo "  $kind: the twin took ${took% *} names, then $kind refused with ${took#* }"
    case $kind in
    ext4) [ "$took" = "65000 EMLINK" ] || fail "ext4 took $took" ;;
    ntfs) [ "${took#* }" = ERANGE ] || fail "ntfs-3g refused with ${took#* }" ;;
    esac
    [ "$(stat -c %h "$bk/2031_03_01/f")" = "${took% *}" ] || fail "the twin has $(stat -c %h "$bk/2031_03_01/f") names"
    on_day 2 "$src" "$bk"
    expect_rc 0
    expect_file "$ERR" ""
    expect_contains "$OUT" "copy $bk/2031_03_02/f"
    grep -qF "link $bk/2031_03_02/f" "$OUT" && fail "a link line for the copied file"
    expect_contains "$OUT" "link $bk/2031_03_02/g"
    expect_contains "$OUT" "$(counter_line 1 'files copied')"
    expect_contains "$OUT" "$(counter_line 1 'files linked')"
    grep -q "link error\|unlinkable" "$OUT" "$bk/log.txt" && fail "a link error was reported"
    expect_not_linked "$bk/2031_03_02/f" "$bk/2031_03_01/f"
    expect_file "$bk/2031_03_02/f" "popular"
    # The copy is the twin of the day after.
    on_day 3 "$src" "$bk"
    expect_rc 0
    expect_linked "$bk/2031_03_03/f" "$bk/2031_03_02/f"
    umount "$mnt"
done

finish
