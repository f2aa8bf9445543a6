#!/usr/bin/env bash
# Shutdown when done: a stand-in "shutdown" that the program finds before
# the real one (first on PATH on Linux, in the current folder for the
# Windows build) records its arguments; the real command is never reached.
. "$(dirname "$0")/lib.sh"

record="$WORK/shutdown-calls"
if on_windows; then
    # CreateProcessW looks in the current folder before the system folder
    # (where Wine has a shutdown.exe of its own): the run starts in the
    # folder of the stand-in program.
    standin_exe="$E2E_BUILD_DIR/standin/shutdown.exe"
    [ -f "$standin_exe" ] || { echo "missing $standin_exe" >&2; exit 1; }
    standin="$WORK/standin"
    mkdir -p "$standin"
    cp "$standin_exe" "$standin/"
    export LINKSNAP_SHUTDOWN_RECORD
    LINKSNAP_SHUTDOWN_RECORD=$(np "$record")
    cd "$standin"
    expected_call="-t 0 -s -f"
else
    standin="$WORK/standin"
    mkdir -p "$standin"
    cat >"$standin/shutdown" <<STANDIN
#!/bin/sh
echo "\$*" >>"$record"
exit 0
STANDIN
    chmod 755 "$standin/shutdown"
    export PATH="$standin:$PATH"
    expected_call="-P now"
fi

calls() { cat "$record" 2>/dev/null; }

tree="$WORK/tree"
mkdir -p "$tree/src"
printf 'x' >"$tree/src/f"

case_begin "-S after a good run shuts down once"
: >"$record"
run_linksnap -S "$(np "$tree/src")" "$(np "$tree/bk")"
expect_rc 0
[ "$(calls)" = "$expected_call" ] || fail "shutdown calls: '$(calls)'"

case_begin "-S with a dry run that reaches its end shuts down"
: >"$record"
run_linksnap -S -n "$(np "$tree/src")" "$(np "$tree/dry")"
expect_rc 0
[ "$(calls)" = "$expected_call" ] || fail "shutdown calls: '$(calls)'"

case_begin "-S never follows a refused run, the usage text or -h"
: >"$record"
run_linksnap -S "$(np "$tree/src")" "$(np "$tree/bk")" # today's snapshot exists
expect_rc 1
run_linksnap -S
expect_rc 1
run_linksnap -hS "$(np "$tree/src")" "$(np "$tree/bk2")"
expect_rc 1
run_linksnap -S "$(np "$tree/missing")" "$(np "$tree/bk3")"
expect_rc 1
[ -z "$(calls)" ] || fail "shutdown ran after a refusal: '$(calls)'"

finish
