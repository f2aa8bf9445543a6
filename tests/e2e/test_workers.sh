#!/usr/bin/env bash
# The walk on several threads (Linux): what a person or a script sees is
# what the walk on one thread shows, byte for byte; and a sparse file
# keeps its holes.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

if on_windows; then
    echo "skipped: the Windows build walks on one thread"
    exit 77
fi

# A tree of some thousands of files in many folders, with failures strewn
# through it: FIFOs (never opened: unreadable), a name with a line feed,
# and links.
make_tree() {
    local root=$1 top mid leaf k
    for top in 1 2 3 4 5 6; do
        for mid in 1 2 3 4; do
            for leaf in 1 2 3 4 5; do
                local dir="$root/t$top/m$mid/l$leaf"
                mkdir -p "$dir"
                for k in $(seq 1 25); do printf 'file %s %s\n' "$dir" "$k" >"$dir/f$k"; done
                printf 'x' >"$dir/big$leaf"
            done
            mkfifo "$root/t$top/m$mid/pipe"
            ln -s "../m$mid" "$root/t$top/m$mid/l1/up"
        done
        printf 'odd' >"$root/t$top/bad"$'\n'"name"
    done
}

# Replaces ROOT's path by "ROOT" in the run's three texts, and the clock.
normalised() {
    local root=$1 file
    cp "$OUT" "$CASE_DIR/stdout"
    cp "$ERR" "$CASE_DIR/stderr"
    cp "$root/log.txt" "$CASE_DIR/log"
    for file in stdout stderr log; do
        sed -i "s#$root#ROOT#g" "$CASE_DIR/$file"
        normalise_elapsed "$CASE_DIR/$file"
    done
}

case_begin "one worker and several print, log and make the same, byte for byte"
src="$CASE_DIR/src"
make_tree "$src"
# A previous snapshot, then a share of the files changed, so that the run
# links, copies and fails.
base="$CASE_DIR/base"
LINKSNAP_WORKERS=1 run_linksnap -s "$src" "$base"
expect_rc 0
mv "$base/$TODAY" "$base/2000_01_01"
for f in "$src"/t*/m2/l3/f1* "$src"/t3/m*/l*/f7; do printf 'changed\n' >>"$f"; done
for workers in 1 4; do
    bk="$CASE_DIR/bk$workers"
    mkdir -p "$bk"
    cp -al "$base/2000_01_01" "$bk/2000_01_01"
    write_state "$bk" "$src" 2000_01_01
    LINKSNAP_WORKERS=$workers run_linksnap "$src" "$bk"
    expect_rc 0
    normalised "$bk"
    for file in stdout stderr log; do mv "$CASE_DIR/$file" "$CASE_DIR/$file.$workers"; done
    tree_listing "$bk/$TODAY" >"$CASE_DIR/tree.$workers"
done
for file in stdout stderr log tree; do
    cmp -s "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" ||
        { fail "$file differs between one worker and four"; diff "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" | head -5 >&2; }
done
expect_contains "$CASE_DIR/stdout.4" "$(counter_line 24 'unreadable files skipped')"
[ "$(grep -c '^link ' "$CASE_DIR/stdout.4")" -gt 2000 ] || fail "too few files linked"
[ "$(grep -c "^copy " "$CASE_DIR/stdout.4")" -gt 50 ] || fail "too few files copied"

case_begin "a sparse file keeps its holes in the snapshot"
src="$CASE_DIR/src" bk="$CASE_DIR/bk"
mkdir -p "$src"
truncate -s 256M "$src/disk.img"
printf 'data in the middle' | dd of="$src/disk.img" bs=1M seek=128 conv=notrunc status=none
run_linksnap -s "$src" "$bk"
expect_rc 0
cmp -s "$src/disk.img" "$bk/$TODAY/disk.img" || fail "the copy's content differs"
used=$(du -k "$bk/$TODAY/disk.img" | cut -f1)
[ "$used" -le $(($(du -k "$src/disk.img" | cut -f1) + 64)) ] || fail "the copy fills $used KiB on disk"

finish
