#!/usr/bin/env bash
# A backup disk that runs full during a run (Linux, as root: a small ext4
# image on a loop device, made with no blocks reserved for root): copies
# that cannot be written are reported and absent, and after the user frees
# space, a second run the same day continues that snapshot and makes it
# whole. Skipped where no loop device can be mounted.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

if [ "$(id -u)" != 0 ] || ! command -v mkfs.ext4 >/dev/null || ! command -v losetup >/dev/null; then
    echo "skipped: needs root, mkfs.ext4 and loop devices"
    exit 77
fi
image="$WORK/disk.img" mnt="$WORK/disk"
mkdir -p "$mnt"
truncate -s 24M "$image"
mkfs.ext4 -q -m 0 "$image" || exit 77
if ! mount -o loop "$image" "$mnt" 2>/dev/null; then
    echo "skipped: no loop device could be mounted"
    exit 77
fi
trap 'umount "$mnt" 2>/dev/null' EXIT

avail() { df --output=avail -B1 "$mnt" | tail -n 1 | tr -d ' '; }

case_begin "a full disk: failed copies are absent; after space is freed the same day's rerun makes the snapshot whole"
src="$WORK/src" bk="$mnt/bk"
mkdir -p "$src/sub"
for i in 1 2 3 4; do head -c 1000000 /dev/urandom >"$src/big$i.bin"; done
for i in $(seq 1 20); do printf 'small %s' "$i" >"$src/sub/s$i.txt"; done
run_linksnap -s "$src" "$bk"
expect_rc 0
mv "$bk/$TODAY" "$bk/2000_01_01"
printf '%s/\r\n$%s\r\n' "$src" "$(printf '%s' "$bk/2000_01_01/" | cut -c2-)" >"$bk/_dir"
for i in 1 2 3 4; do head -c 1000000 /dev/urandom >"$src/big$i.bin" && touch -d '+1 minute' "$src/big$i.bin"; done
# Room for one new copy and a half.
fallocate -l $(($(avail) - 1500000)) "$mnt/filler"
run_linksnap "$src" "$bk"
expect_rc 0
errors=$(grep -c '^copy error ' "$ERR")
[ "$errors" -ge 2 ] || fail "$errors copy errors: $(head -c 300 "$ERR")"
expect_contains "$OUT" "$(counter_line "$errors" 'write errors')"
# What failed is not there at all, cut or empty.
for i in 1 2 3 4; do
    [ ! -e "$bk/$TODAY/big$i.bin" ] || cmp -s "$src/big$i.bin" "$bk/$TODAY/big$i.bin" || fail "big$i.bin cut"
done
grep -Eq "^$TODAY	complete	[^	]+	[^	]+	$errors	0	0	0	[0-9]+	[0-9]+	[0-9]+"$'\r'"\$" "$bk/_catalog" ||
    fail "catalog: $(cat "$bk/_catalog")"

rm "$mnt/filler"
run_linksnap "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
expect_contains "$OUT" "continuing the unfinished snapshot."
expect_same_tree "$src" "$bk/$TODAY"
# Linked against the whole snapshot before today, never today's own.
for i in 1 2 3 4 5 6 7 8; do expect_linked "$bk/$TODAY/sub/s$i.txt" "$bk/2000_01_01/sub/s$i.txt"; done
grep -Eq "^$TODAY	complete	[^	]+	[^	]+	0	0	0	0	[0-9]+	[0-9]+	[0-9]+"$'\r'"\$" "$bk/_catalog" ||
    fail "catalog: $(cat "$bk/_catalog")"
expect_contains "$bk/_dir" "$TODAY"

# Whole now: a third run is refused as for any complete snapshot.
run_linksnap -s "$src" "$bk"
expect_rc 1
expect_lines "$ERR" "destination $bk/$TODAY/ already exists."

finish
