#!/usr/bin/env bash
# Times linksnap against cp and rsync on one generated tree, side by side in
# one run, and prints one table of medians and ratios. See bench/README.md.
#
#   bench/bench.sh [--quick] [--rounds N] [--folders N] [--files N]
#                  [--big-mib N] [--work DIR] [--no-image] [--keep]
#
# Every tool runs once per round, in an order that rotates from round to
# round, after one untimed warm-up round that also checks each tool's
# result. Each run starts after a sync, and its output is removed right
# after it, so that every run meets the same free memory and no run pays
# for the write-back of another. Progress lines of linksnap go to a file.
#
# As root the trees live on a fresh ext4 file system in an image file on a
# loop device (direct I/O, so the page cache holds each block once): every
# run of the benchmark starts from the same state, and a root file system
# without a journal (where ext4 skips recently deleted inodes one by one
# when it creates files) does not swamp what is measured. --no-image keeps
# them in the work folder's own file system.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$REPO/bench/work
ROUNDS=7
FOLDERS=1000
FILES=50000
BIG_FILES=2
BIG_MIB=64
CHANGE_PERCENT=5
USE_IMAGE=1
KEEP=0

usage() {
    sed -n '4,5p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    echo "defaults: $ROUNDS rounds, $FOLDERS folders, $FILES files, $BIG_FILES files of $BIG_MIB MiB"
    echo "--quick:  3 rounds, 100 folders, 5000 files, $BIG_FILES files of 8 MiB"
}

number() { [[ $2 =~ ^[0-9]+$ ]] || { echo "bench: $1 takes a number" >&2; exit 2; }; }

while [ $# -gt 0 ]; do
    case $1 in
    --quick) ROUNDS=3 FOLDERS=100 FILES=5000 BIG_MIB=8 ;;
    --rounds) number "$1" "${2-}"; ROUNDS=$2; shift ;;
    --folders) number "$1" "${2-}"; FOLDERS=$2; shift ;;
    --files) number "$1" "${2-}"; FILES=$2; shift ;;
    --big-mib) number "$1" "${2-}"; BIG_MIB=$2; shift ;;
    --work) [ -n "${2-}" ] || { usage >&2; exit 2; }; WORK=$2; shift ;;
    --no-image) USE_IMAGE=0 ;;
    --keep) KEEP=1 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
    shift
done
[ "$ROUNDS" -ge 1 ] && [ "$FILES" -ge 1 ] || { echo "bench: rounds and files must be at least 1" >&2; exit 2; }

die() { echo "bench: $*" >&2; exit 1; }
note() { echo "bench: $*" >&2; }

# ---- tools -------------------------------------------------------------------

missing=()
command -v rsync >/dev/null || missing+=(rsync)
command -v strace >/dev/null || missing+=(strace)
[ -x /usr/bin/time ] || missing+=(time)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
command -v xxhsum >/dev/null || missing+=(xxhash)
if [ ${#missing[@]} -gt 0 ]; then
    note "installing ${missing[*]}"
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
    elif command -v sudo >/dev/null; then
        sudo apt-get update -qq && sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        die "missing ${missing[*]}; install them with apt-get as root"
    fi
fi

mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
LOGS=$WORK/logs
rm -rf "$LOGS"
mkdir -p "$LOGS"

note "building the Release binary"
cmake -S "$REPO" -B "$WORK/build" -DCMAKE_BUILD_TYPE=Release -DLINKSNAP_TESTS=OFF \
    >"$LOGS/build.txt" 2>&1 || die "cmake failed, see $LOGS/build.txt"
cmake --build "$WORK/build" -j "$(nproc)" >>"$LOGS/build.txt" 2>&1 ||
    die "the build failed, see $LOGS/build.txt"
LINKSNAP=$WORK/build/linksnap
LINKSNAP_UTIL=$WORK/build/linksnap-util
g++ -O2 -std=c++17 -o "$WORK/gentree" "$REPO/bench/gentree.cpp" 2>>"$LOGS/build.txt" ||
    die "the tree generator did not build, see $LOGS/build.txt"

# ---- where the trees live ----------------------------------------------------

MNT=$WORK/mnt
IMAGE=$WORK/fs.img
LOOP=""
cleanup() {
    [ "$KEEP" = 1 ] && return
    if [ -n "$LOOP" ]; then
        umount "$MNT" 2>/dev/null || true
        losetup -d "$LOOP" 2>/dev/null || true
        rm -f "$IMAGE"
    else
        rm -rf "$MNT"
    fi
}
trap cleanup EXIT

if mountpoint -q "$MNT" 2>/dev/null; then
    die "$MNT is still mounted from an earlier --keep run: umount it and detach its loop device"
fi
rm -rf "$MNT" "$IMAGE"
mkdir -p "$MNT"
FS_NOTE="the work folder's own file system"
if [ "$USE_IMAGE" = 1 ] && [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null &&
    command -v losetup >/dev/null; then
    # Room for the source, the base snapshot and one output at a time, twice.
    IMAGE_GIB=$(((FILES * 33 / 1024 + BIG_FILES * BIG_MIB) * 6 / 1024 + 4))
    truncate -s "${IMAGE_GIB}G" "$IMAGE" || die "cannot make the image file $IMAGE"
    mkfs.ext4 -q -F "$IMAGE" || die "mkfs.ext4 failed on $IMAGE"
    if LOOP=$(losetup --find --show --direct-io=on "$IMAGE" 2>>"$LOGS/build.txt") &&
        mount -o noinit_itable "$LOOP" "$MNT" 2>>"$LOGS/build.txt"; then
        FS_NOTE="a fresh ext4 image (journal, loop device, direct I/O)"
    else
        [ -n "$LOOP" ] && losetup -d "$LOOP"
        LOOP=""
        rm -f "$IMAGE"
        note "no loop device: the trees stay in $MNT"
    fi
elif [ "$USE_IMAGE" = 1 ]; then
    note "not root or no mkfs.ext4/losetup: the trees stay in $MNT"
fi
FS_NOTE="$FS_NOTE, $(df -T "$MNT" | awk 'NR == 2 {print $2}')"

# ---- the source tree ---------------------------------------------------------

SRC=$MNT/src
OUT=$MNT/out
BASE=$MNT/base/2000_01_01
note "generating $FILES files in $FOLDERS folders and $BIG_FILES of $BIG_MIB MiB"
"$WORK/gentree" make "$SRC" "$FOLDERS" "$FILES" "$BIG_FILES" "$BIG_MIB" || die "the tree generator failed"
mkdir -p "$OUT"

tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f", s}'; }
TREE_FILES=$(find "$SRC" -type f | wc -l)
TREE_BYTES=$(tree_bytes "$SRC")

# ---- timing --------------------------------------------------------------------

# timed CASE TOOL: one timed run of the command in CMD; appends "wall cpu
# peakKiB" to $LOGS/CASE.TOOL. Standard output goes to a file, standard
# error too; a tool that fails or reports anything there stops the
# benchmark.
timed() {
    local case=$1 tool=$2
    local out=$LOGS/$case.$tool.stdout err=$LOGS/$case.$tool.stderr
    sync
    local start=$EPOCHREALTIME
    if ! /usr/bin/time -f '%U %S %M' -o "$LOGS/time.tmp" "${CMD[@]}" >"$out" 2>"$err"; then
        die "$tool failed in $case: $(head -c 400 "$err")"
    fi
    local end=$EPOCHREALTIME
    if [ -s "$err" ]; then die "$tool reported errors in $case: $(head -c 400 "$err")"; fi
    local user sys peak
    read -r user sys peak <"$LOGS/time.tmp"
    awk -v s="$start" -v e="$end" -v u="$user" -v y="$sys" -v m="$peak" \
        'BEGIN {printf "%.4f %.2f %d\n", e - s, u + y, m}' >>"$LOGS/$case.$tool"
}

# A backup root that holds one earlier snapshot: a linked copy of the base
# snapshot under an earlier date name, and the state file that names it
# (source with its separator; the snapshot path with '$' for its first
# character; CR LF line ends).
seed_root() {
    local root=$1
    # Closed to other users, as a root that linksnap makes.
    mkdir -p -m 700 "$root"
    cp -al "$BASE" "$root/2000_01_01"
    printf '%s/\r\n$%s/2000_01_01/\r\n' "$SRC" "${root:1}" >"$root/_dir"
}

# The snapshot that the last run made in the backup root $1.
snapshot_of() {
    local found
    found=$(find "$1" -mindepth 1 -maxdepth 1 -type d -name '[0-9][0-9][0-9][0-9]_[0-9][0-9]_[0-9][0-9]' \
        ! -name 2000_01_01 | head -n 1)
    [ -n "$found" ] || die "no new snapshot in $1"
    printf '%s' "$found"
}

# check_tree DIR LINKED: DIR holds the whole source (count and bytes of the
# files), and exactly LINKED of its files share their data with another name.
check_tree() {
    local dir=$1 want_linked=$2 files bytes linked
    files=$(find "$dir" -type f | wc -l)
    bytes=$(tree_bytes "$dir")
    linked=$(find "$dir" -type f -links +1 | wc -l)
    [ "$files" = "$TREE_FILES" ] || die "$dir holds $files files, the source $TREE_FILES"
    [ "$bytes" = "$TREE_BYTES" ] || die "$dir holds $bytes bytes, the source $TREE_BYTES"
    [ "$linked" = "$want_linked" ] || die "$dir has $linked linked files, expected $want_linked"
}

# Runs the tools of one case in rounds; round 0 is the untimed warm-up. For
# each tool, prepare_TOOL readies its output folder, cmd_TOOL sets CMD to
# the command line, and check_TOOL verifies the result of the warm-up.
run_rounds() {
    local case=$1
    shift
    local tools=("$@") count=$#
    local round k tool
    for ((round = 0; round <= ROUNDS; ++round)); do
        for ((k = 0; k < count; ++k)); do
            tool=${tools[$(((k + round) % count))]}
            "prepare_$tool"
            "cmd_$tool"
            if [ "$round" = 0 ]; then
                "${CMD[@]}" >/dev/null 2>"$LOGS/warmup.stderr" ||
                    die "$tool failed in the warm-up of $case: $(head -c 400 "$LOGS/warmup.stderr")"
                "check_$tool"
            else
                timed "$case" "$tool"
            fi
            rm -rf "$OUT/$tool"
        done
    done
}

# ---- case 1: full backup -----------------------------------------------------

prepare_linksnap() { :; }
cmd_linksnap() { CMD=("$LINKSNAP" "$SRC/" "$OUT/linksnap/"); }
check_linksnap() { check_tree "$(snapshot_of "$OUT/linksnap")" 0; }
# The same program on one thread, to measure what the workers gain.
prepare_linksnap1() { :; }
cmd_linksnap1() { CMD=(env LINKSNAP_WORKERS=1 "$LINKSNAP" "$SRC/" "$OUT/linksnap1/"); }
check_linksnap1() { check_tree "$(snapshot_of "$OUT/linksnap1")" 0; }
prepare_cp() { :; }
cmd_cp() { CMD=(cp -a "$SRC" "$OUT/cp"); }
check_cp() { check_tree "$OUT/cp" 0; }
prepare_rsync() { :; }
cmd_rsync() { CMD=(rsync -a "$SRC/" "$OUT/rsync/"); }
check_rsync() { check_tree "$OUT/rsync" 0; }
# The same run without checksums: what recording them costs.
prepare_nosums() { :; }
cmd_nosums() { CMD=(env LINKSNAP_NO_CHECKSUMS=1 "$LINKSNAP" "$SRC/" "$OUT/nosums/"); }
check_nosums() {
    check_tree "$(snapshot_of "$OUT/nosums")" 0
    [ ! -s "$OUT/nosums/_checksums" ] || die "a run without checksums recorded some"
}

note "case 1: full backup, $ROUNDS rounds"
run_rounds full linksnap linksnap1 cp rsync nosums

# The base of the incremental cases: a full snapshot by linksnap.
"$LINKSNAP" -s "$SRC/" "$MNT/base/" >/dev/null || die "linksnap failed to make the base snapshot"
mv "$(snapshot_of "$MNT/base")" "$BASE"

# ---- case 1b: verify against xxhsum over the same files ------------------------

# The base root's one snapshot holds each file once: linksnap-util verify
# reads and hashes each, as xxhsum -H2 does; both from the page cache after
# the warm-up.
BASE_ROOT=$MNT/base
prepare_verify() { :; }
cmd_verify() { CMD=("$LINKSNAP_UTIL" verify "$BASE_ROOT/"); }
check_verify() {
    "${CMD[@]}" >"$LOGS/verify.check" 2>&1 || die "verify failed: $(head -c 400 "$LOGS/verify.check")"
    grep -q "^$TREE_FILES files checked, [0-9]* bytes read, 0 mismatches, 0 without record$" "$LOGS/verify.check" ||
        die "verify did not check every file: $(tail -n 1 "$LOGS/verify.check")"
}
prepare_xxhsum() { :; }
# xxhsum clears a progress line on standard error even when it is no
# terminal: that goes, and the check counts its hashes instead.
cmd_xxhsum() { CMD=(sh -c 'find "$1" -type f -exec xxhsum -H2 {} + 2>/dev/null' sh "$BASE"); }
check_xxhsum() {
    local hashed
    hashed=$("${CMD[@]}" | wc -l)
    [ "$hashed" = "$TREE_FILES" ] || die "xxhsum hashed $hashed files, expected $TREE_FILES"
}

note "case 1b: verify and xxhsum -H2 over the same files, $ROUNDS rounds"
run_rounds verify verify xxhsum

# ---- case 2: incremental run over the unchanged tree -------------------------

prepare_linksnap() { seed_root "$OUT/linksnap"; }
check_linksnap() { check_tree "$(snapshot_of "$OUT/linksnap")" "$TREE_FILES"; }
prepare_linksnap1() { seed_root "$OUT/linksnap1"; }
check_linksnap1() { check_tree "$(snapshot_of "$OUT/linksnap1")" "$TREE_FILES"; }
cmd_cp() { CMD=(cp -al "$BASE" "$OUT/cp"); }
check_cp() { check_tree "$OUT/cp" "$TREE_FILES"; }
cmd_rsync() { CMD=(rsync -a --link-dest="$BASE/" "$SRC/" "$OUT/rsync/"); }
check_rsync() { check_tree "$OUT/rsync" "$TREE_FILES"; }

note "case 2: incremental run over the unchanged tree, $ROUNDS rounds"
run_rounds unchanged linksnap linksnap1 cp rsync

# System calls of one run, apart from the timed runs. rsync is left out:
# its three processes under strace take minutes.
count_calls() {
    local tool=$1
    "prepare_$tool"
    "cmd_$tool"
    strace -c -f -o "$LOGS/strace.$tool" "${CMD[@]}" >/dev/null 2>"$LOGS/strace.stderr" ||
        die "$tool failed under strace"
    rm -rf "$OUT/$tool"
    awk '$NF == "total" {print $4}' "$LOGS/strace.$tool"
}
CALLS_LINKSNAP=$(count_calls linksnap)
CALLS_CP=$(count_calls cp)

# ---- case 3: incremental run after a share of the files changed ----------------

CHANGED=$("$WORK/gentree" change "$SRC" "$FOLDERS" "$FILES" "$CHANGE_PERCENT") || die "the tree generator failed"
UNCHANGED=$((TREE_FILES - CHANGED))
TREE_BYTES=$(tree_bytes "$SRC")
check_linksnap() { check_tree "$(snapshot_of "$OUT/linksnap")" "$UNCHANGED"; }
check_rsync() { check_tree "$OUT/rsync" "$UNCHANGED"; }

note "case 3: incremental run after $CHANGED files changed, $ROUNDS rounds"
run_rounds changed linksnap rsync

# ---- case 4: a sparse disk image ---------------------------------------------------

# One file of 5 GiB that holds 3 MiB of data: a virtual machine's disk, as
# people keep them in their home folders. The copy must hold the same
# blocks on disk as the source, not 5 GiB of zeros.
SPARSE_SRC=$MNT/sparse
mkdir -p "$SPARSE_SRC"
truncate -s 5G "$SPARSE_SRC/disk.img"
for at in 0 1024 4000; do
    head -c 1M /dev/urandom | dd of="$SPARSE_SRC/disk.img" bs=1M seek="$at" conv=notrunc status=none
done
SPARSE_KIB=$(du -k "$SPARSE_SRC/disk.img" | cut -f1)
sparse_check() { # sparse_check FILE
    cmp -s "$SPARSE_SRC/disk.img" "$1" || die "$1 differs from the sparse source"
    local kib
    kib=$(du -k "$1" | cut -f1)
    [ "$kib" -le $((SPARSE_KIB + 64)) ] || die "$1 fills $kib KiB on disk, the source $SPARSE_KIB KiB"
}
prepare_linksnap() { :; }
cmd_linksnap() { CMD=("$LINKSNAP" "$SPARSE_SRC/" "$OUT/linksnap/"); }
check_linksnap() { sparse_check "$(snapshot_of "$OUT/linksnap")/disk.img"; }
cmd_cp() { CMD=(cp -a "$SPARSE_SRC" "$OUT/cp"); }
check_cp() { sparse_check "$OUT/cp/disk.img"; }

note "case 4: a sparse 5 GiB disk image, $ROUNDS rounds"
run_rounds sparse linksnap cp

# ---- the table -------------------------------------------------------------------

# median CASE TOOL COLUMN: the median of one column over the rounds.
median() {
    sort -n -k "$3" "$LOGS/$1.$2" | awk -v c="$3" '{v[NR] = $c}
        END {if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
# The largest peak of a tool over the rounds of a case, in MiB.
peak() { sort -n -k 3 "$LOGS/$1.$2" | tail -n 1 | awk '{printf "%.1f", $3 / 1024}'; }
ratio() { awk -v a="$(median "$1" "$2" 1)" -v b="$(median "$1" "$3" 1)" 'BEGIN {printf "%.2f", a / b}'; }
per_file() { awk -v c="$1" -v f="$TREE_FILES" 'BEGIN {printf "%.2f", c / f}'; }

row() {
    printf '%-26s %-22s %8.3f %8.2f %9s\n' "$1" "$2" "$(median "$3" "$4" 1)" \
        "$(median "$3" "$4" 2)" "$(peak "$3" "$4")"
}
MET_ALL=1
target() { # target NAME MEASURED LIMIT
    local met
    met=$(awk -v m="$2" -v l="$3" 'BEGIN {print (m <= l) ? "yes" : "NO"}')
    [ "$met" = yes ] || MET_ALL=0
    printf '%-48s %9s %9s   %s\n' "$1" "$2" "$3" "$met"
}
info() { printf '%-48s %9s\n' "$1" "$2"; }

CPU_MODEL=$(awk -F': *' '/^model name/ {print $2; exit}' /proc/cpuinfo)
MEM_GIB=$(awk '/^MemTotal/ {printf "%.0f", $2 / 1048576}' /proc/meminfo)
OS_NAME=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}")
echo
printf 'linksnap %s: %d files in %d folders, %.0f MiB; median of %d rounds\n' \
    "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?')" "$TREE_FILES" \
    "$((FOLDERS + 1))" "$(awk -v b="$TREE_BYTES" 'BEGIN {print b / 1048576}')" "$ROUNDS"
printf 'machine: %s, %d CPUs, %s GiB; %s, Linux %s\n' "${CPU_MODEL:-?}" "$(nproc)" "$MEM_GIB" \
    "${OS_NAME:-?}" "$(uname -r)"
printf 'peers: %s, %s; trees on %s\n' "$(cp --version | head -n 1)" \
    "$(rsync --version | head -n 1 | awk '{print $1, $3}')" "$FS_NOTE"
echo
printf '%-26s %-22s %8s %8s %9s\n' case tool 'wall s' 'cpu s' 'peak MiB'
row 'full backup' linksnap full linksnap
row '' 'linksnap, one worker' full linksnap1
row '' 'cp -a' full cp
row '' 'rsync -a' full rsync
row '' 'linksnap, no checksums' full nosums
row 'verify (read, hash)' 'linksnap-util verify' verify verify
row '' 'xxhsum -H2' verify xxhsum
row 'incremental, unchanged' linksnap unchanged linksnap
row '' 'linksnap, one worker' unchanged linksnap1
row '' 'cp -al' unchanged cp
row '' 'rsync -a --link-dest' unchanged rsync
row "incremental, $CHANGED changed" linksnap changed linksnap
row '' 'rsync -a --link-dest' changed rsync
row 'sparse 5 GiB image' linksnap sparse linksnap
row '' 'cp -a' sparse cp
echo
printf '%-48s %9s %9s   %s\n' target measured limit met
target 'full backup: linksnap / cp -a' "$(ratio full linksnap cp)" 0.75
target 'full backup: checksums / none' "$(ratio full linksnap nosums)" 1.15
target 'verify: linksnap-util / xxhsum -H2 (>= 80 % speed)' "$(ratio verify verify xxhsum)" 1.25
target 'unchanged: linksnap / cp -al' "$(ratio unchanged linksnap cp)" 0.75
target 'unchanged: linksnap / rsync -a --link-dest' "$(ratio unchanged linksnap rsync)" 0.40
target 'sparse 5 GiB image: linksnap / cp -a' "$(ratio sparse linksnap cp)" 2.00
target 'system calls per unchanged file' "$(per_file "$CALLS_LINKSNAP")" 4.30
# Content moves in the kernel or through a buffer of at most 1 MiB.
for case in full unchanged changed sparse; do
    target "peak MiB, $case" "$(peak "$case" linksnap)" 16.0
done
info 'changed: linksnap / rsync -a --link-dest' "$(ratio changed linksnap rsync)"
info 'full backup: linksnap / rsync -a' "$(ratio full linksnap rsync)"
info 'full backup: default workers / one worker' "$(ratio full linksnap linksnap1)"
info 'unchanged: default workers / one worker' "$(ratio unchanged linksnap linksnap1)"
info 'system calls per unchanged file, cp -al' "$(per_file "$CALLS_CP")"
echo
if [ "$MET_ALL" = 1 ]; then echo "every target met"; else echo "targets NOT met: the rows marked NO"; fi
echo "rounds, progress output and system call counts: $LOGS"
[ "$KEEP" = 1 ] && echo "kept: the trees in $MNT${LOOP:+ (image $IMAGE on $LOOP; umount and losetup -d when done)}"
exit 0
