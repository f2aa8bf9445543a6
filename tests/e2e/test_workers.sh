#!/usr/bin/env bash
# The walk on several threads, on both builds: what a person or a script
# sees is what the walk on one thread shows, byte for byte; and (Linux) a
# sparse file keeps its holes.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

# A tree of some thousands of files in many folders (fewer under Wine,
# which is slow), with failures strewn through it on Linux: FIFOs (never
# opened: unreadable), a name with a line feed, and links.
make_tree() {
    local root=$1 top mid leaf k tops=6
    on_windows && tops=3
    for top in $(seq 1 "$tops"); do
        for mid in 1 2 3 4; do
            for leaf in 1 2 3 4 5; do
                local dir="$root/t$top/m$mid/l$leaf"
                mkdir -p "$dir"
                for k in $(seq 1 25); do printf 'file %s %s\n' "$dir" "$k" >"$dir/f$k"; done
                printf 'x' >"$dir/big$leaf"
            done
            on_windows && continue
            mkfifo "$root/t$top/m$mid/pipe"
            ln -s "../m$mid" "$root/t$top/m$mid/l1/up"
        done
        on_windows || printf 'odd' >"$root/t$top/bad"$'\n'"name"
    done
}

# Replaces ROOT's path by "ROOT" in the run's three texts, and the clock.
normalised() {
    local root=$1 file
    cp "$OUT" "$CASE_DIR/stdout"
    cp "$ERR" "$CASE_DIR/stderr"
    cp "$root/log.txt" "$CASE_DIR/log"
    for file in stdout stderr log; do
        # Literally: a Windows path is full of backslashes.
        ROOT_PATH=$(np "$root") perl -pi -e 's/\Q$ENV{ROOT_PATH}\E/ROOT/g' "$CASE_DIR/$file"
        normalise_elapsed "$CASE_DIR/$file"
    done
}

case_begin "one worker and several print, log and make the same, byte for byte"
src="$CASE_DIR/src"
make_tree "$src"
# A previous snapshot, then a share of the files changed, so that the run
# links, copies and fails.
base="$CASE_DIR/base"
LINKSNAP_WORKERS=1 run_linksnap -s "$(np "$src")" "$(np "$base")"
expect_rc 0
mv "$base/$TODAY" "$base/2000_01_01"
for f in "$src"/t*/m2/l3/f1* "$src"/t3/m*/l*/f7; do printf 'changed\n' >>"$f"; done
for workers in 1 4; do
    bk="$CASE_DIR/bk$workers"
    mkdir -p "$bk"
    cp -al "$base/2000_01_01" "$bk/2000_01_01"
    write_state "$bk" "$src" 2000_01_01
    LINKSNAP_WORKERS=$workers run_linksnap "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    normalised "$bk"
    for file in stdout stderr log; do mv "$CASE_DIR/$file" "$CASE_DIR/$file.$workers"; done
    tree_listing "$bk/$TODAY" >"$CASE_DIR/tree.$workers"
done
for file in stdout stderr log tree; do
    cmp -s "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" ||
        { fail "$file differs between one worker and four"; diff "$CASE_DIR/$file.1" "$CASE_DIR/$file.4" | head -5 >&2; }
done
if on_windows; then
    [ "$(grep -c '^link ' "$CASE_DIR/stdout.4")" -gt 1000 ] || fail "too few files linked"
else
    expect_contains "$CASE_DIR/stdout.4" "$(counter_line 24 'unreadable files skipped')"
    [ "$(grep -c '^link ' "$CASE_DIR/stdout.4")" -gt 2000 ] || fail "too few files linked"
fi
[ "$(grep -c "^copy " "$CASE_DIR/stdout.4")" -gt 25 ] || fail "too few files copied"

if on_windows; then finish; exit; fi

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
