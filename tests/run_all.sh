#!/usr/bin/env bash
# The test command of linksnap: installs what is missing, builds the Linux
# build and the Windows build (mingw-w64, run under Wine), runs the whole
# suite of each with CTest, then the sanitizer suite, bounded fuzzing and
# the install check (tests/check_install.sh), and ends with one summary line
# in CTest's form over all runs. Exits non-zero when a build or a test fails.
#
#   bash tests/run_all.sh
#
# Build folders: build/linux and build/windows (LINKSNAP_BUILD_ROOT moves
# them). The Windows tests carry the name prefix "wine:" and the label wine.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_ROOT=${LINKSNAP_BUILD_ROOT:-$ROOT/build}
JOBS=$(nproc 2>/dev/null || echo 2)

# ---- what the builds and the tests need ------------------------------------

PACKAGES=(
    cmake make g++ googletest                # the Linux build and GoogleTest's sources
    g++-mingw-w64-x86-64-posix               # the Windows build (with its binutils)
    wine wine64                              # runs the Windows build's tests
    util-linux coreutils findutils diffutils # setpriv, flock, stat, find, cmp in the e2e tests
    sshfs openssh-server                     # the backup root on a share of a test SSH server
    binutils                                 # strings, for the version resource check
    clang libclang-rt-14-dev                 # the sanitizer run and the fuzz targets (libFuzzer)
    groff-base mandoc man-db                 # the manual pages: lint and man (tests/check_install.sh)
    dpkg-dev file libxml2-utils              # cpack's dpkg-shlibdeps, the task XML check
    dosfstools fusefat fuse3                 # the FAT image of the tree tests (mkfs.vfat, fusermount)
    ntfs-3g                                  # the NTFS image of the hard-link tests (mkntfs, ntfs-3g)
    libxxhash-dev xxhash                     # the checksums header (both builds), xxhsum for bench/
)

install_missing() {
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
}

# ---- one build and its suite --------------------------------------------------

TOTAL=0
FAILED=0
FAILED_RUNS=()

# run_suite NAME TITLE [CMAKE ARGUMENTS...]: configures and builds
# build/NAME, runs its tests and adds them to the totals.
run_suite() {
    local name=$1 title=$2
    shift 2
    local dir="$BUILD_ROOT/$name"
    echo
    echo "== $title: configure and build in $dir"
    cmake -S "$ROOT" -B "$dir" -DLINKSNAP_WERROR=ON "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$JOBS"
    echo
    echo "== $title: tests"
    local log="$dir.ctest.log" status=0
    (cd "$dir" && ctest -j "$JOBS" --output-on-failure) 2>&1 | tee "$log" || status=$?
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        echo "== $title: CTest gave no summary (exit code $status)"
        FAILED_RUNS+=("$title")
        FAILED=$((FAILED + 1))
        return 0
    fi
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    TOTAL=$((TOTAL + total))
    FAILED=$((FAILED + failed))
    if [ "$status" != 0 ] || [ "$failed" != 0 ]; then FAILED_RUNS+=("$title"); fi
    return 0
}

install_missing
mkdir -p "$BUILD_ROOT"

# 1. Linux, native.
run_suite linux "Linux build"

# 2. Windows x86-64, cross-built with mingw-w64; every test runs under Wine.
run_suite windows "Windows build (under Wine)" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"

# 3. The Linux suite again under AddressSanitizer and
#    UndefinedBehaviorSanitizer, failing on any report; then the fuzz
#    targets for a bounded time from their committed seeds. Both print
#    their own results; a failure of either fails the whole run.
bash "$ROOT/tests/run_sanitizers.sh" "$BUILD_ROOT/linux-sanitize" || FAILED_RUNS+=("sanitizer run")
bash "$ROOT/tests/run_fuzz.sh" "$BUILD_ROOT/fuzz" || FAILED_RUNS+=("fuzzing")

# 4. What a user installs: a user's build, cmake --install, the manual
#    pages, the Debian package (installed and removed again when root).
echo
bash "$ROOT/tests/check_install.sh" "$BUILD_ROOT/install-check" || FAILED_RUNS+=("install check")

# ---- one line over all runs, in CTest's form ------------------------------------

echo
if [ ${#FAILED_RUNS[@]} -gt 0 ]; then
    echo "== failures in: ${FAILED_RUNS[*]}"
fi
PASSED=$((TOTAL - FAILED))
if [ "$TOTAL" -gt 0 ]; then PERCENT=$((PASSED * 100 / TOTAL)); else PERCENT=0; fi
echo "== all runs together:"
echo "$PERCENT% tests passed, $FAILED tests failed out of $TOTAL"
[ ${#FAILED_RUNS[@]} -eq 0 ] && [ "$TOTAL" -gt 0 ]
