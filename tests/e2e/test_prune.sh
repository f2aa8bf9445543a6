#!/usr/bin/env bash
# linksnap-prune on real backup roots: the snapshots a schedule keeps,
# checked against a set computed here with date(1); the snapshots that
# always stay; the cost lines; what a prune frees, checked against the file
# system's own count; a dry run; a prune stopped halfway; read-only trees;
# the lock of the root; and bad command lines.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

: "${LINKSNAP_PRUNE:?LINKSNAP_PRUNE must name linksnap-prune}"

run_prune() { LINKSNAP=$LINKSNAP_PRUNE run_linksnap "$@"; }
run_prune_unprivileged() { LINKSNAP=$LINKSNAP_PRUNE run_linksnap_unprivileged "$@"; }

# make_root ROOT NAME...: a backup root whose first snapshot linksnap makes
# from a small source; the others are hard-linked copies of it, as daily
# runs over an unchanged source leave them. The state file names the last
# NAME as the snapshot the next run links against.
make_root() {
    local root=$1
    shift
    local src
    src=$(dirname "$root")/src
    mkdir -p "$src/sub"
    printf 'alpha\n' >"$src/a.txt"
    printf 'beta\n' >"$src/sub/b.txt"
    run_linksnap "$(np "$src")" "$(np "$root")"
    [ "$RC" = 0 ] || fail "linksnap could not make the first snapshot"
    mv "$root/$TODAY" "$root/$1"
    local name
    for name in "${@:2}"; do cp -al "$root/$1" "$root/$name"; done
    set_linked "$root" "${@: -1}"
}

# set_linked ROOT NAME: line 2 of the state file names NAME.
set_linked() { write_state "$1" "$(dirname "$1")/src" "$2"; }

# The snapshot folders of a root (2024_06_31 is no date).
snapshot_names() {
    find "$1" -mindepth 1 -maxdepth 1 -type d -name '[0-9][0-9][0-9][0-9]_[0-9][0-9]_[0-9][0-9]' \
        ! -name 2024_06_31 -printf '%f\n' | sort
}

# Every entry of a tree with its inode, link count, size and times: what a
# dry run must leave exactly as it was.
full_listing() { (cd "$1" && find . -printf '%p %i %n %s %T@ %m\n' | sort); }

# The grouped number of a cost line as a plain one.
plain() { tr -d '. ' <<<"$1"; }

# ---- the schedule ------------------------------------------------------------------

# Snapshot dates over 400 days up to Wednesday 6 January 2027: the last 20
# days daily, then every third day. They cross the ISO week 53 of 2026
# (28 December to 3 January) and two year ends.
NEWEST=2027-01-06
DATES=()
for ((k = 400; k >= 0; --k)); do
    if [ $k -lt 20 ] || [ $((k % 3)) = 0 ]; then DATES+=("$NEWEST - $k days"); fi
done
mapfile -t NAMES < <(printf '%s\n' "${DATES[@]}" | date -f - +%Y_%m_%d)
# The day, ISO week, month and year of each snapshot.
mapfile -t KEYS < <(printf '%s\n' "${DATES[@]}" | date -f - '+%Y_%m_%d %G-%V %Y-%m %Y')

# The periods of one kind that a count keeps, newest first.
window() {
    local kind=$1 count=$2 k
    [ "$count" -gt 0 ] || return 0
    case $kind in
    0) for ((k = 0; k < count; ++k)); do echo "$NEWEST - $k days"; done | date -f - +%Y_%m_%d ;;
    1) for ((k = 0; k < count; ++k)); do echo "$NEWEST - $((7 * k)) days"; done | date -f - +%G-%V ;;
    2) for ((k = 0; k < count; ++k)); do echo "${NEWEST%-*}-01 - $k months"; done | date -f - +%Y-%m ;;
    3) for ((k = 0; k < count; ++k)); do echo $((${NEWEST%%-*} - k)); done ;;
    esac
}

# expected_kept D W M Y LINKED: the names a schedule keeps, computed by
# hand: in each period of each window the newest snapshot, then the newest
# of all and the state file's one.
expected_kept() {
    local counts=("$1" "$2" "$3" "$4") linked=$5 kind period i fields
    {
        for kind in 0 1 2 3; do
            while read -r period; do
                for ((i = ${#NAMES[@]} - 1; i >= 0; --i)); do
                    read -r -a fields <<<"${KEYS[$i]}"
                    if [ "${fields[$kind]}" = "$period" ]; then
                        echo "${NAMES[$i]}"
                        break
                    fi
                done
            done < <(window $kind "${counts[$kind]}")
        done
        echo "${NAMES[-1]}"
        echo "$linked"
    } | sort -u
}

case_begin "the kept set of several schedules over 400 days equals the set computed by hand; a dry run changes nothing"
master="$CASE_DIR/master/bk"
mkdir -p "$(dirname "$master")"
make_root "$master" "${NAMES[@]}"
# An old snapshot as the one the next run links against: it stays under
# every schedule.
linked=${NAMES[5]}
set_linked "$master" "$linked"
# Folders and files that are not snapshots are never touched.
mkdir -p "$master/notes" "$master/2024_06_31" "$master/2024_06_03x" "$CASE_DIR/outside"
echo keep >"$master/notes/n.txt"
echo keep >"$master/2024_06_02"
echo keep >"$CASE_DIR/outside/o.txt"
if ! on_windows; then ln -s "$CASE_DIR/outside" "$master/2024_06_01"; fi
others="notes 2024_06_31 2024_06_03x 2024_06_02"
for schedule in "d=7" "w=4" "m=6" "y=2" "d=14 w=8 m=24 y=10" "w=60 m=3" "d=1"; do
    declare -A counts=([d]=0 [w]=0 [m]=0 [y]=0)
    for option in $schedule; do counts[${option%%=*}]=${option#*=}; done
    expected=$(expected_kept "${counts[d]}" "${counts[w]}" "${counts[m]}" "${counts[y]}" "$linked")
    root="$CASE_DIR/${schedule// /_}/bk"
    mkdir -p "$(dirname "$root")"
    cp -a "$master" "$root"
    before=$(full_listing "$root")
    # shellcheck disable=SC2086
    run_prune -n $schedule "$(np "$root")"
    expect_rc 0
    [ "$(full_listing "$root")" = "$before" ] || fail "$schedule: the dry run changed the root"
    dry=$(cat "$OUT")
    kept_lines=$(awk '$2 == "keep" { print $1 }' "$OUT")
    [ "$kept_lines" = "$expected" ] || fail "$schedule: the dry run keeps $(echo $kept_lines), expected $(echo $expected)"
    # shellcheck disable=SC2086
    run_prune $schedule "$(np "$root")"
    expect_rc 0
    [ "$(cat "$OUT")" = "$dry" ] || fail "$schedule: the run printed other lines than its dry run"
    [ "$(snapshot_names "$root")" = "$expected" ] || fail "$schedule: left $(snapshot_names "$root" | tr '\n' ' ')"
    [ "$(awk '{ print $1 }' "$OUT" | grep -c _)" = "${#NAMES[@]}" ] || fail "$schedule: not one line per snapshot"
    for name in $others; do expect_present "$root/$name"; done
    [ -n "$(ls "$root" | grep deleting)" ] && fail "$schedule: a .deleting folder is left"
    expect_present "$root/${NAMES[-1]}/sub/b.txt"
    expect_present "$root/$linked/a.txt"
done
if ! on_windows; then
    [ -L "$root/2024_06_01" ] || fail "the link with a snapshot name was touched"
    expect_present "$CASE_DIR/outside/o.txt"
fi

# ---- cost lines and read-only trees (both builds) ----------------------------------

# make_costly ROOT: 2026_01_01 holds two read-only files of its own (1,234
# bytes) in a read-only folder, next to its links; 2026_01_10 is the newest.
make_costly() {
    make_root "$1" 2026_01_01 2026_01_10
    mkdir "$1/2026_01_01/ro"
    head -c 1000 /dev/zero >"$1/2026_01_01/ro/r1.txt"
    head -c 234 /dev/zero >"$1/2026_01_01/ro/r2.txt"
    chmod 444 "$1/2026_01_01/ro/r1.txt" "$1/2026_01_01/ro/r2.txt"
    chmod 555 "$1/2026_01_01/ro"
}

case_begin "cost lines: files and the bytes only a snapshot holds, the total; -s prints the total alone; read-only entries go"
root="$CASE_DIR/bk"
make_costly "$root"
before=$(full_listing "$root")
run_prune -n -s d=1 "$(np "$root")"
expect_rc 0
expect_lines "$OUT" "$(printf '%22s bytes freed' 1.234)"
[ "$(full_listing "$root")" = "$before" ] || fail "the dry run changed the root"
run_prune d=1 "$(np "$root")"
expect_rc 0
expect_lines "$OUT" \
    "$(printf '%s %-6s %-6s %15s files %19s bytes' 2026_01_01 delete - 4 1.234)" \
    "$(printf '%s %-6s %-6s %15s files %19s bytes' 2026_01_10 keep day 2 0)" \
    "$(printf '%22s bytes freed' 1.234)"
expect_file "$ERR" ""
expect_absent "$root/2026_01_01"
expect_absent "$root/2026_01_01.deleting"
expect_present "$root/2026_01_10/sub/b.txt"

case_begin "an unfinished snapshot fills no period: listed as unfinished, deleted once a newer complete one exists"
root="$CASE_DIR/bk"
make_root "$root" 2026_12_05 2026_12_06 2026_12_07 2026_12_09 2026_12_10
set_linked "$root" 2026_12_07
# 12-06 and 12-10 begun by runs that were killed; 12-09 made by a run of
# an earlier version killed too (no catalog line; the lock names it).
set_catalog_line "$root" 2026_12_06 "unfinished	2026-12-06T10:00:00Z					"
set_catalog_line "$root" 2026_12_10 "unfinished	2026-12-10T10:00:00Z					"
printf 'pid 1\nhost h\nstart 2026-12-09 10:00:00\nsnapshot %s\n' "$(np "$root/2026_12_09/")" >"$root/_lock"
full_listing "$root" >"$CASE_DIR/before"
run_prune -n d=3 "$(np "$root")"
expect_rc 0
for line in "2026_12_05 keep   day " "2026_12_06 delete unfinished " "2026_12_07 keep   day " \
    "2026_12_09 keep   unfinished " "2026_12_10 keep   unfinished "; do
    expect_contains "$OUT" "$line"
done
full_listing "$root" | cmp -s - "$CASE_DIR/before" || fail "a dry run changed the root"
run_prune d=3 "$(np "$root")"
expect_rc 0
[ "$(snapshot_names "$root" | tr '\n' ' ')" = "2026_12_05 2026_12_07 2026_12_09 2026_12_10 " ] ||
    fail "left: $(snapshot_names "$root" | tr '\n' ' ')"

case_begin "a read-only file of a deleted snapshot stays read-only in the snapshot that links it"
# A hard link shares its attributes with every name of the file: deleting
# one name must not make the others writable (on Windows both ways of
# removing a read-only file: the one the system offers, and the fallback).
for fallback in "" 1; do
    root="$CASE_DIR/bk$fallback"
    make_root "$root" 2026_12_05 2026_12_07
    chmod 444 "$root/2026_12_05/a.txt"
    LINKSNAP_TEST_NO_DISPOSITION_EX=$fallback run_prune d=1 "$(np "$root")"
    expect_rc 0
    expect_absent "$root/2026_12_05"
    [ "$(stat -c %a "$root/2026_12_07/a.txt")" = 444 ] ||
        fail "the kept file is now $(stat -c %a "$root/2026_12_07/a.txt") (fallback: ${fallback:-no})"
    expect_file "$root/2026_12_07/a.txt" $'alpha\n'
done

case_begin "a .deleting folder left by a stopped prune is finished by the next one"
root="$CASE_DIR/bk"
make_costly "$root"
mkdir "$root/2025_12_01.deleting"
head -c 100 /dev/zero >"$root/2025_12_01.deleting/left.txt"
run_prune d=5 "$(np "$root")"
expect_rc 0
expect_contains "$OUT" "$(printf '%s %-6s %-6s %15s files %19s bytes' 2025_12_01.deleting delete - 1 100)"
expect_contains "$OUT" "$(printf '%22s bytes freed' 1.334)"
expect_absent "$root/2025_12_01.deleting"
expect_absent "$root/2026_01_01"

# ---- refusals ----------------------------------------------------------------------------

case_begin "bad command lines print the usage text; a root without a known complete snapshot is refused"
root="$CASE_DIR/bk"
make_root "$root" 2026_01_01 2026_01_02 2026_01_03
# The snapshots, less the state file the case changes and the lock file.
snapshots_listing() { full_listing "$root" | grep -v -e '^\. ' -e '^\./_dir ' -e '^\./_lock '; }
before=$(snapshots_listing)
for arguments in "" "-n" "$(np "$root")" "d=0 $(np "$root")" "d=x $(np "$root")" "w=-1 $(np "$root")" \
    "d=1 d=2 $(np "$root")" "-x d=1 $(np "$root")" "d=1 $(np "$root") $(np "$root")" "-h d=1 $(np "$root")" \
    "d=100001 $(np "$root")"; do
    # shellcheck disable=SC2086
    run_prune $arguments
    expect_rc 1
    expect_contains "$ERR" "linksnap-prune version 1.15.95"
done
run_prune d=1 "$(np "$CASE_DIR/missing")"
expect_rc 1
expect_lines "$ERR" "no dir: $(np "$CASE_DIR/missing/")"
# A state file naming a snapshot that is gone, and none at all: which
# snapshot is complete is unknown, so nothing goes.
set_linked "$root" 2025_01_01
run_prune d=1 "$(np "$root")"
expect_rc 1
expect_lines "$ERR" "no complete snapshot named in $(np "$root/")_dir, nothing deleted."
rm "$root/_dir"
run_prune d=1 "$(np "$root")"
expect_rc 1
[ "$(snapshots_listing)" = "$before" ] || fail "a refused prune changed the root"

if on_windows; then
    finish
    exit
fi

# ---- Linux: the lock, the file system's count, a kill, rights -------------------------

case_begin "a prune while a run holds the root's lock is refused and deletes nothing"
root="$CASE_DIR/bk"
make_root "$root" 2026_01_01 2026_01_02
touch "$root/_lock"
flock "$root/_lock" "$LINKSNAP_PRUNE" d=1 "$root" >"$OUT" 2>"$ERR" </dev/null
RC=$?
expect_rc 1
expect_lines "$ERR" "backup root $root/ is in use by another run."
expect_present "$root/2026_01_01"

case_begin "the bytes freed equal the drop in the file system's used blocks"
mnt="$CASE_DIR/mnt"
mkdir -p "$mnt"
if ! mount -t tmpfs -o size=64m tmpfs "$mnt" 2>/dev/null; then
    echo "  (no tmpfs can be mounted here: case skipped)"
else
    root="$mnt/bk"
    make_root "$root" 2026_01_01 2026_01_02 2026_01_09 2026_01_10
    head -c 50000 /dev/urandom >"$root/2026_01_01/u1"
    head -c 123457 /dev/urandom >"$root/2026_01_02/u2"
    # Held by two deleted snapshots only: freed, though no snapshot holds it alone.
    head -c 70000 /dev/urandom >"$root/2026_01_01/s12"
    ln "$root/2026_01_01/s12" "$root/2026_01_02/s12"
    # Held by a deleted and a kept snapshot: not freed.
    head -c 30000 /dev/urandom >"$root/2026_01_02/s23"
    ln "$root/2026_01_02/s23" "$root/2026_01_09/s23"
    free_before=$(stat -f -c %f "$mnt")
    block=$(stat -f -c %S "$mnt")
    run_prune d=2 "$root"
    free_after=$(stat -f -c %f "$mnt")
    expect_rc 0
    expect_contains "$OUT" "$(printf '%s %-6s %-6s %15s files %19s bytes' 2026_01_01 delete - 4 50.000)"
    expect_contains "$OUT" "$(printf '%s %-6s %-6s %15s files %19s bytes' 2026_01_02 delete - 5 123.457)"
    freed=$(plain "$(awk '/bytes freed/ { print $1 }' "$OUT")")
    [ "$freed" = $((50000 + 123457 + 70000)) ] || fail "bytes freed: $freed"
    drop=$(((free_after - free_before) * block))
    # Within a block per file freed.
    difference=$((drop - freed))
    [ "${difference#-}" -le $((3 * block)) ] || fail "freed $freed bytes, the file system gained $drop"
    umount "$mnt"
fi

case_begin "a prune killed in the middle of a deletion is finished by the next one"
asan_runtime=$(ldd "$LINKSNAP_PRUNE" 2>/dev/null | awk '/libasan/ { print $3 }')
root="$CASE_DIR/bk"
make_root "$root" 2026_01_01 2026_01_10
mkdir "$root/2026_01_01/many"
for ((k = 10; k < 40; ++k)); do echo "$k" >"$root/2026_01_01/many/f$k"; done
env LD_PRELOAD="${asan_runtime:+$asan_runtime }$FAULT_SHIM" FAULT_STOP_UNLINK=f25 \
    "$LINKSNAP_PRUNE" d=1 "$root" >"$OUT" 2>"$ERR" </dev/null &
pid=$!
wait_stopped "$pid" || fail "the prune did not stop in the deletion"
kill -9 "$pid"
wait "$pid" 2>/dev/null
expect_absent "$root/2026_01_01"
expect_present "$root/2026_01_01.deleting/many/f25"
run_prune d=1 "$root"
expect_rc 0
expect_contains "$OUT" "2026_01_01.deleting delete"
expect_absent "$root/2026_01_01.deleting"
expect_present "$root/2026_01_10/a.txt"
[ "$(snapshot_names "$root")" = 2026_01_10 ] || fail "left: $(snapshot_names "$root")"

case_begin "as a user: read-only folders go; what cannot be deleted is named on standard error, exit 2"
root="$CASE_DIR/bk"
make_costly "$root"
cp -al "$root/2026_01_10" "$root/2026_01_05"
chown -R 65534:65534 "$root"
# A folder the user may not change, in a snapshot to delete.
mkdir "$root/2026_01_05/theirs"
echo x >"$root/2026_01_05/theirs/t.txt"
run_prune_unprivileged d=1 "$root"
expect_rc 2
expect_lines "$ERR" \
    "cannot delete $root/2026_01_05.deleting/theirs/t.txt: unlinkat: Permission denied" \
    "cannot delete $root/2026_01_05.deleting/theirs: unlinkat: Directory not empty" \
    "cannot delete $root/2026_01_05.deleting: unlinkat: Directory not empty"
expect_absent "$root/2026_01_01"
expect_present "$root/2026_01_05.deleting/theirs/t.txt"
# Only what went is counted as freed: the read-only files of 2026_01_01.
expect_contains "$OUT" "$(printf '%22s bytes freed' 1.234)"
run_prune d=1 "$root"
expect_rc 0
expect_absent "$root/2026_01_05.deleting"

if ! on_windows; then
    case_begin "a snapshot 5,000 levels deep is counted and deleted with 1,024 descriptors"
    : "${DEEPTREE:?DEEPTREE must name the deep tree helper}"
    root="$CASE_DIR/bk"
    make_root "$root" 2026_01_01 2026_01_10
    mkdir "$root/2026_01_01/deep"
    "$DEEPTREE" make "$root/2026_01_01/deep" 5000 || fail "the deep tree was not made"
    # The deleted snapshot holds its two small files, a file every 1,000
    # levels and one at the bottom.
    (ulimit -n 1024 && LINKSNAP=$LINKSNAP_PRUNE run_linksnap d=1 "$root"; echo "$RC" >"$CASE_DIR/rc")
    RC=$(cat "$CASE_DIR/rc")
    expect_rc 0
    expect_file "$ERR" ""
    expect_contains "$OUT" "2026_01_01 delete"
    expect_contains "$OUT" "2026_01_01 delete -      $(printf '%15s files' 8)"
    expect_absent "$root/2026_01_01"
    expect_absent "$root/2026_01_01.deleting"
    expect_file "$root/2026_01_10/sub/b.txt" "beta
"
fi

finish
