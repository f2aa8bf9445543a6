#!/usr/bin/env bash
# What keeping the source's hard links saves: a tree of FILES files of
# SIZE bytes with NAMES names each (spread over folders), one full run;
# prints the space of the snapshot against the space its names would take
# as separate copies, the bytes copied and the time.
# Usage: bench/hardlinks_bench.sh LINKSNAP [FILES] [NAMES] [SIZE]
set -eu
linksnap=$1 files=${2:-2000} names=${3:-5} size=${4:-65536}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for n in $(seq 1 "$names"); do mkdir -p "$work/src/n$n"; done
for i in $(seq 1 "$files"); do
    head -c "$size" /dev/urandom >"$work/src/n1/f$i"
    for n in $(seq 2 "$names"); do ln "$work/src/n1/f$i" "$work/src/n$n/f$i"; done
done
start=$(date +%s.%N)
"$linksnap" -s "$work/src" "$work/bk" >/dev/null
end=$(date +%s.%N)
snap=$(ls -d "$work/bk"/*_*_*/)
echo "names:            $((files * names))"
echo "snapshot on disk: $(du -sk "$snap" | cut -f1) KiB"
echo "names as copies:  $(du -skl "$snap" | cut -f1) KiB"
echo "seconds:          $(echo "$end - $start" | bc)"
