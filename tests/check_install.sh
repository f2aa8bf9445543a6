#!/usr/bin/env bash
# Checks what a user gets: a build as the README makes it (Release, tests
# off, warnings not fatal), `cmake --install` into a prefix (every program
# with its manual page, the examples), the manual pages without a warning
# from groff or mandoc, the Debian package from `cpack -G DEB` (its fields;
# as root also `dpkg -i`, `man linksnap`, `systemd-analyze verify` of the
# example units, and `dpkg -r` leaving nothing behind). Prints one result
# line and exits non-zero when any check fails.
#
# usage: tests/check_install.sh [BUILD_DIR]   (default: build/install-check)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/install-check}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=()
fail() { echo "install check FAILED: $*" >&2; failures+=("$1"); }
say() { echo "== install check: $*"; }

# ---- a user's build -------------------------------------------------------------

say "Release build with tests off in $build"
if ! cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINKSNAP_TESTS=OFF \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1 ||
   ! cmake --build "$build" -j2 >"$work/build.log" 2>&1; then
    cat "$work/configure.log" "$work/build.log" 2>/dev/null
    echo "install check FAILED: the build" >&2
    exit 1
fi
# A newer compiler's new warning must not break a user's build.
grep -q -- '-Werror' "$build/compile_commands.json" &&
    fail "-Werror in a build without LINKSNAP_WERROR"

# ---- cmake --install -------------------------------------------------------------

prefix=$work/prefix
say "cmake --install into a prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install"; }
[ -x "$prefix/bin/linksnap" ] || fail "bin/linksnap missing"
for example in 'linksnap@.service' 'linksnap@.timer' 'linksnap-failed@.service' linksnap.cron linksnap-task.xml; do
    [ -f "$prefix/share/doc/linksnap/examples/$example" ] || fail "example $example missing"
done
# Every program the build makes is installed (a program target defined after
# the install rules would be missed there)...
while IFS= read -r program; do
    [ -x "$prefix/bin/$(basename "$program")" ] || fail "$(basename "$program") built but not installed"
done < <(find "$build" -maxdepth 2 -type f -executable -name 'linksnap*' ! -name '*.*')
# ...with one manual page each, and no page without its program.
for program in "$prefix"/bin/*; do
    name=$(basename "$program")
    compgen -G "$prefix/share/man/man1/$name.1*" >/dev/null || fail "no manual page for $name"
done
for page in "$prefix"/share/man/man1/*; do
    name=$(basename "$page"); name=${name%%.1*}
    [ -x "$prefix/bin/$name" ] || fail "manual page $name.1 without its program"
done
"$prefix/bin/linksnap" -h 2>"$work/usage" && fail "linksnap -h exit code 0"
grep -q '^linksnap version ' "$work/usage" || fail "linksnap -h printed no usage text"
version=$(sed -n "s/^project(linksnap VERSION \([0-9.]*\).*/\1/p" "$root/CMakeLists.txt")
for name in linksnap linksnap-prune linksnap-util; do
    [ -x "$prefix/bin/$name" ] || { fail "bin/$name missing"; continue; }
    [ "$("$prefix/bin/$name" --version)" = "$name $version" ] || fail "$name --version"
    "$prefix/bin/$name" --help | grep -q "usage: $name" || fail "$name --help printed no usage on standard output"
done

# ---- manual pages and examples ------------------------------------------------------

say "manual pages (groff -wall, mandoc -T lint, man -l)"
for page in "$root"/man/*.1; do
    name=$(basename "$page")
    out=$(groff -man -wall -z "$page" 2>&1) && [ -z "$out" ] || fail "groff warns on $name: $out"
    out=$(mandoc -T lint "$page" 2>&1) && [ -z "$out" ] || fail "mandoc warns on $name: $out"
    out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$out" ] ||
        fail "man -l warns on $name: $out"
done
if command -v xmllint >/dev/null; then
    xmllint --noout "$root/examples/linksnap-task.xml" || fail "linksnap-task.xml is not well-formed XML"
fi

# ---- the Debian package ------------------------------------------------------------

say "cpack -G DEB"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$build"/linksnap_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    fail "no .deb made"
else
    field() { dpkg-deb --field "$deb" "$1"; }
    [ "$(field Package)" = linksnap ] || fail "package name"
    [ "$(field Section)" = admin ] || fail "section is not admin"
    [[ "$(field Maintainer)" == *'<'*'@'*'>' ]] || fail "maintainer field: $(field Maintainer)"
    [[ "$(field Depends)" == *libc6* ]] || fail "dependencies not from shlibdeps: $(field Depends)"
    [ -n "$(field Description)" ] || fail "no description"
    dpkg-deb --contents "$deb" | grep -q ' \./usr/share/man/man1/linksnap\.1' || fail "no manual page in the package"
fi

# dpkg -i and -r change the machine: only as root, and never over a linksnap
# installed by other means.
dpkg_retry() {
    # Another apt or dpkg on the machine holds the lock for a while.
    local attempt
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        dpkg "$@" >"$work/dpkg.log" 2>&1 && return 0
        grep -q 'lock' "$work/dpkg.log" || break
        sleep 3
    done
    cat "$work/dpkg.log" >&2
    return 1
}
if [ -z "$deb" ]; then
    :
elif [ "$(id -u)" != 0 ]; then
    say "dpkg -i/-r skipped: not root"
elif dpkg-query -W -f='${Status}' linksnap 2>/dev/null | grep -q 'ok installed' ||
     [ -e /usr/bin/linksnap ]; then
    say "dpkg -i/-r skipped: linksnap is installed on this machine already"
else
    say "dpkg -i, man linksnap, systemd-analyze verify, dpkg -r"
    if dpkg_retry -i "$deb"; then
        files=$(dpkg-query -L linksnap)
        /usr/bin/linksnap -h 2>/dev/null && fail "installed linksnap -h exit code 0"
        if [ -e /usr/share/man/man1/linksnap.1.gz ]; then
            MANWIDTH=80 man linksnap 2>/dev/null | grep -q 'LINKSNAP(1)' ||
                fail "man linksnap shows no page"
        else
            say "man linksnap skipped: dpkg is configured to leave out manual pages"
        fi
        if command -v systemd-analyze >/dev/null; then
            # The units as a user installs them, with an instance name.
            units=$work/units
            mkdir -p "$units"
            instance=$(systemd-escape --path /mnt/backup)
            cp "$root/examples/linksnap@.service" "$units/linksnap@$instance.service"
            cp "$root/examples/linksnap@.timer" "$units/linksnap@$instance.timer"
            cp "$root/examples/linksnap-failed@.service" "$units/linksnap-failed@$instance.service"
            out=$(cd "$units" && systemd-analyze verify "./linksnap@$instance.service" \
                  "./linksnap@$instance.timer" "./linksnap-failed@$instance.service" 2>&1) && [ -z "$out" ] ||
                fail "systemd-analyze verify: $out"
        else
            say "systemd-analyze verify skipped: no systemd here"
        fi
        if dpkg_retry -r linksnap; then
            dpkg-query -W -f='${Status}' linksnap 2>/dev/null | grep -q 'ok installed' &&
                fail "linksnap still installed after dpkg -r"
            while IFS= read -r path; do
                [ -f "$path" ] && fail "left behind by dpkg -r: $path"
            done <<<"$files"
        else
            fail "dpkg -r"
        fi
    else
        fail "dpkg -i"
    fi
fi

if [ ${#failures[@]} -eq 0 ]; then
    say "passed"
else
    echo "== install check: ${#failures[@]} failed: ${failures[*]}"
    exit 1
fi
