# Shared helpers of the end-to-end tests: each test script runs the built
# program on real folders under a fresh temporary folder and checks trees,
# inodes, times, bytes of the output streams, the log and the state file.
#
# Environment (set by CTest):
#   LINKSNAP           the program to run (linksnap or linksnap.exe)
#   LINKSNAP_EMULATOR  empty for the native build, "wine" (or a path to it)
#                      for the Windows build; paths handed to the program
#                      are then mapped onto Wine's Z: drive.
set -u

: "${LINKSNAP:?LINKSNAP must name the program under test}"
LINKSNAP_EMULATOR=${LINKSNAP_EMULATOR:-}

PASSED=0
FAILED=0
CASE=""
CASE_FAILED=0

WORK=$(mktemp -d "${TMPDIR:-/tmp}/linksnap-e2e.XXXXXX")
chmod 755 "$WORK"
trap 'rm -rf "$WORK"' EXIT

on_windows() { [ -n "$LINKSNAP_EMULATOR" ]; }

# The native separator of the program under test.
if on_windows; then SEP='\'; else SEP='/'; fi

# A Linux path as the program under test names it.
np() {
    if on_windows; then
        local p
        p=$(realpath -m "$1")
        p="Z:${p//\//\\}"
        case "$1" in */) p="$p\\" ;; esac
        printf '%s' "$p"
    else
        printf '%s' "$1"
    fi
}

# The native line end of the console and the log file.
if on_windows; then NL=$'\r\n'; else NL=$'\n'; fi

# Runs the program; stdout, stderr and the exit code land in $OUT, $ERR, $RC.
OUT="$WORK/.stdout"
ERR="$WORK/.stderr"
RC=0
run_linksnap() {

    if on_windows; then
        WINEDEBUG=-all "$LINKSNAP_EMULATOR" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    else
        "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    fi
    RC=$?

}

# Like run_linksnap, but as an unprivileged user (root ignores permission
# bits, and CI runs as root). Files the run must read or write have to be
# reachable for that user.
run_linksnap_unprivileged() {

    if [ "$(id -u)" != 0 ]; then
        run_linksnap "$@"
    elif on_windows; then
        # Wine runs only in a prefix of the user's own: the user 65534 gets
        # one in the build folder, made on its first use.
        local home="$E2E_BUILD_DIR/wine-65534"
        mkdir -p "$home" && chown 65534:65534 "$home"
        setpriv --reuid=65534 --regid=65534 --clear-groups \
            env HOME="$home" LINKSNAP_WINEPREFIX="$home/prefix" WINEDEBUG=-all \
            "$LINKSNAP_EMULATOR" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
        RC=$?
    else
        setpriv --reuid=65534 --regid=65534 --clear-groups "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
        RC=$?
    fi

}

case_begin() {
    case_end
    CASE="$1"
    CASE_FAILED=0
    CASE_DIR="$WORK/$(echo "$CASE" | tr -c 'A-Za-z0-9_\n' '_')"
    mkdir -p "$CASE_DIR"
    chmod 755 "$CASE_DIR"
}

case_end() {
    if [ -n "$CASE" ]; then
        if [ "$CASE_FAILED" = 0 ]; then
            PASSED=$((PASSED + 1))
            echo "ok: $CASE"
        else
            FAILED=$((FAILED + 1))
            echo "FAILED: $CASE"
        fi
    fi
    CASE=""
}

fail() {
    CASE_FAILED=1
    echo "  $CASE: $*" >&2
}

expect_rc() {
    [ "$RC" = "$1" ] || fail "exit code $RC, expected $1 (stderr: $(head -c 300 "$ERR"))"
}

# expect_file FILE TEXT: the file holds exactly TEXT (bytes).
expect_file() {
    local actual
    actual=$(cat "$1"; printf x)
    actual=${actual%x}
    if [ "$actual" != "$2" ]; then
        fail "$(basename "$1") differs"
        diff <(printf '%s' "$2") "$1" | head -20 >&2 || true
    fi
}

expect_stdout() { expect_file "$OUT" "$1"; }
expect_stderr() { expect_file "$ERR" "$1"; }

expect_contains() {
    grep -qF -- "$2" "$1" || fail "$(basename "$1") lacks '$2'"
}

expect_absent() {
    [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 exists"
}

expect_present() {
    [ -e "$1" ] || [ -L "$1" ] || fail "$1 is missing"
}

same_inode() { [ "$(stat -c %i "$1")" = "$(stat -c %i "$2")" ]; }

expect_linked() { same_inode "$1" "$2" || fail "$1 is not linked to $2"; }
expect_not_linked() { ! same_inode "$1" "$2" || fail "$1 is linked to $2"; }

# One line per entry below DIR: path, type, mode, and but for a folder the
# last-write time to the nanosecond, size, and for a link its target. Extra arguments are find
# tests for entries to leave out, e.g. -name '.*' -o -type p.
tree_listing() {
    local dir=$1
    shift
    [ $# -gt 0 ] || set -- -false
    (cd "$dir" && find . -mindepth 1 \( "$@" \) -prune -o -type d -printf '%P d %m\n' -o -printf '%P %y %m %T@ %s %l\n' | windows_times | sort)
}

# Windows file times count 100 ns: the Windows build carries the first
# seven of the ten decimals that find prints.
windows_times() {
    if on_windows; then
        sed -E 's/^(.* [a-z] [0-7]+ -?[0-9]+\.[0-9]{7})[0-9]* /\1 /'
    else
        cat
    fi
}

# The snapshot holds the same entries as the source (less what the extra
# find tests leave out of the source), with the same bytes.
expect_same_tree() {
    local source=$1 snapshot=$2
    shift 2
    local a b
    a=$(tree_listing "$source" "$@")
    b=$(tree_listing "$snapshot")
    if [ "$a" != "$b" ]; then
        fail "trees differ: $source $snapshot"
        diff <(echo "$a") <(echo "$b") | head -20 >&2
        return
    fi
    local path
    while IFS= read -r path; do
        cmp -s "$source/$path" "$snapshot/$path" || fail "content differs: $path"
    done < <(cd "$snapshot" && find . -type f -printf '%P\n')
}

# The usage text, line by line, as the program prints it on standard error.
usage_lines=(
    "linksnap version 1.15.95"
    "usage: linksnap [<flags>] [<srcdir>] <backupdir>"
    "-h ... help"
    "-s ... silent"
    "-n ... no-exec"
    "-S ... shutdown machine when done"
    "x=<folder>[,...]   exclude folders"
    "xt=<*.xxx>[,...]   exclude filetypes"
    "it=<*.xxx>[,...]   include filetypes"
)

# The snapshot folder name of today, as the program makes it.
TODAY=$(date +%Y_%m_%d)

finish() {
    case_end
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" = 0 ]
}

# why LINUX [WINDOWS]: the reason line that follows a failure's own line on
# standard error ("    call: reason"), as the build under test words it.
why() {
    if on_windows; then printf '    %s' "${2:-$1}"; else printf '    %s' "$1"; fi
}

# Prints its arguments as lines ended the way the console and the log end them.
lines() {
    local line
    for line in "$@"; do printf '%s%s' "$line" "$NL"; done
}

# expect_lines FILE LINE...: the file holds exactly these lines.
expect_lines() {
    local file=$1
    shift
    lines "$@" >"$WORK/.expected"
    if ! cmp -s "$WORK/.expected" "$file"; then
        fail "$(basename "$file") differs"
        diff "$WORK/.expected" "$file" | head -20 >&2
    fi
}

# The elapsed time depends on the clock: make it "N" in the file.
normalise_elapsed() {
    sed -i -E 's/^elapsed: (-?[0-9]+ (days|hrs|min), )*-?[0-9]+ sec\./elapsed: N sec./' "$1"
}

# catalog_line BK NAME: the catalog line of snapshot NAME in root BK (its
# CR LF taken off); empty when there is none.
catalog_line() {
    grep -a "^$2	" "$1/_catalog" 2>/dev/null | tr -d '\r'
}

# set_catalog_line BK NAME LINE: the catalog line of NAME replaced by LINE
# (tab-separated fields after the name), as a run stopped or failing at some
# point leaves it.
set_catalog_line() {
    { grep -av "^$2	" "$1/_catalog" 2>/dev/null; printf '%s\t%s\r\n' "$2" "$3"; } | LC_ALL=C sort >"$1/_catalog.tmp"
    mv "$1/_catalog.tmp" "$1/_catalog"
}
