#!/usr/bin/env bash
# Files with several names: names of one source file are one file in the
# snapshot, whatever the number of workers, and link to their twin the
# next day; a twin that has as many names as its file system allows is
# replaced by a copy without an error (Linux, a small ext4 image).
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

if on_windows || [ "$(id -u)" != 0 ] || ! command -v mkfs.ext4 >/dev/null; then
    finish
    exit
fi
image="$WORK/disk.img" mnt="$WORK/disk"
mkdir -p "$mnt"
truncate -s 32M "$image"
mkfs.ext4 -q -m 0 "$image" || { finish; exit; }
if ! mount -o loop "$image" "$mnt" 2>/dev/null; then
    echo "skipped: no loop device could be mounted"
    finish
    exit
fi
trap 'umount "$mnt" 2>/dev/null' EXIT

case_begin "a twin with all the names ext4 allows is replaced by a copy, with no error"
src="$CASE_DIR/src" bk="$mnt/bk"
mkdir -p "$src"
printf 'popular' >"$src/f"
printf 'plain' >"$src/g"
on_day 1 "$src" "$bk"
expect_rc 0
# The twin gets the rest of ext4's 65,000 names outside the root.
mkdir "$mnt/names"
python3 -c '
import os, sys
twin, folder = sys.argv[1], sys.argv[2]
for i in range(64999):
    os.link(twin, os.path.join(folder, str(i)))
' "$bk/2031_03_01/f" "$mnt/names"
[ "$(stat -c %h "$bk/2031_03_01/f")" = 65000 ] || fail "the twin has $(stat -c %h "$bk/2031_03_01/f") names"
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
trap - EXIT

finish
