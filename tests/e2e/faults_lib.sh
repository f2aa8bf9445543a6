# Helpers of the fault tests (test_faults_*.sh), on top of lib.sh.

# Writes the state file of backup root BK: source SRC, previous snapshot
# NAME under BK ("$" for its first character), then any further lines.
write_state() {
    local bk=$1 src=$2 name=$3
    shift 3
    {
        printf '%s\r\n$%s\r\n' "$(np "$src/")" "$(np "$bk/$name/" | cut -c2-)"
        local line
        for line in "$@"; do printf '%s\r\n' "$line"; done
    } >"$bk/_dir"
}

# Makes today's snapshot of BK look like one made on day NAME, as if the
# run had happened then: the snapshot moves and the state file names it.
age_snapshot() {
    local bk=$1 name=$2 src=$3
    mv "$bk/$TODAY" "$bk/$name"
    write_state "$bk" "$src" "$name"
}

# The source $src, made by the script's own make_source, and a first
# snapshot of it in $bk, aged to 2000_01_01.
first_snapshot() {
    make_source "$src"
    run_linksnap -s "$(np "$src")" "$(np "$bk")"
    expect_rc 0
    age_snapshot "$bk" 2000_01_01 "$src"
}

# keep_state / expect_state_kept: the state file of $bk is byte for byte
# what it was.
keep_state() { cp "$bk/_dir" "$CASE_DIR/.state"; }
expect_state_kept() { cmp -s "$CASE_DIR/.state" "$bk/_dir" || fail "the state file changed"; }

# A listing of everything below DIR that a later run must not change:
# names, types, modes, times, sizes and a digest of each file's bytes
# (link counts grow when a newer snapshot links to a file, and may).
fingerprint() {
    (cd "$1" && find . -mindepth 1 -printf '%P %y %m %T@ %s %l\n' | sort &&
        find . -type f -print0 | sort -z | xargs -0 -r md5sum)
}

# remember DIR / expect_unchanged DIR: nothing below DIR changed between.
remember() { fingerprint "$1" >"$CASE_DIR/.fingerprint"; }
expect_unchanged() {
    if ! fingerprint "$1" | cmp -s - "$CASE_DIR/.fingerprint"; then
        fail "$1 changed"
        fingerprint "$1" | diff "$CASE_DIR/.fingerprint" - | head -10 >&2
    fi
}

# expect_count FILE N TEXT: TEXT stands on exactly N lines of FILE.
expect_count() {
    local n
    n=$(grep -cF -- "$3" "$1")
    [ "$n" = "$2" ] || fail "$(basename "$1") has '$3' $n times, expected $2"
}

# A counter line of the summary, as "%22s <label>" prints it.
counter_line() { printf '%22s %s' "$1" "$2"; }

# wait_stopped PID: waits up to 8 seconds until the process has stopped
# itself (the fault library's FAULT_STOP_*); false when it did not.
wait_stopped() {
    local state="" tries=0
    while [ "$state" != T ] && [ $tries -lt 400 ]; do
        sleep 0.02
        state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)
        tries=$((tries + 1))
    done
    [ "$state" = T ]
}
