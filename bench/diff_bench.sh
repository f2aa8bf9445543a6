#!/usr/bin/env bash
# Times `linksnap-util diff` of two snapshots against one unchanged linksnap
# run over the same tree (the cost the diff must not exceed), and prints
# the medians and their ratio. See bench/README.md.
#
#   bench/diff_bench.sh [--rounds N] [--files N] [--folders N] [--work DIR]
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$REPO/bench/work-diff
ROUNDS=5
FOLDERS=1000
FILES=50000
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) ROUNDS=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --folders) FOLDERS=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) sed -n '6p' "${BASH_SOURCE[0]}" | sed 's/^# //'; exit 2 ;;
    esac
done
BUILD=${BUILD:-$REPO/build/linux}
for program in linksnap linksnap-util; do
    [ -x "$BUILD/$program" ] || { echo "bench: build $BUILD/$program first" >&2; exit 2; }
done
rm -rf "$WORK" && mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT
g++ -O2 -std=c++17 -o "$WORK/gentree" "$REPO/bench/gentree.cpp"
"$WORK/gentree" make "$WORK/src" "$FOLDERS" "$FILES" 0 0 >/dev/null
export NO_FAKE_STAT=1
faketime '2026-01-01 12:00:00' "$BUILD/linksnap" -s "$WORK/src" "$WORK/bk" >/dev/null
faketime '2026-01-02 12:00:00' "$BUILD/linksnap" -s "$WORK/src" "$WORK/bk" >/dev/null

seconds() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); echo $(((e - s) / 1000)); }
median() { sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
: >"$WORK/run" && : >"$WORK/diff"
for ((round = 0; round < ROUNDS; ++round)); do
    rm -rf "$WORK/bk/2026_01_03"
    sync
    seconds faketime '2026-01-03 12:00:00' "$BUILD/linksnap" -s "$WORK/src" "$WORK/bk" >>"$WORK/run"
    sync
    seconds "$BUILD/linksnap-util" diff "$WORK/bk" 2026_01_01 2026_01_02 >>"$WORK/diff"
done
run=$(median <"$WORK/run")
diff=$(median <"$WORK/diff")
printf 'files %d, rounds %d\nunchanged linksnap run  %8.3f s\nlinksnap-util diff      %8.3f s\nratio diff / run        %8.2f\n' \
    "$FILES" "$ROUNDS" "$(echo "$run / 1000000" | bc -l)" "$(echo "$diff / 1000000" | bc -l)" "$(echo "$diff / $run" | bc -l)"
