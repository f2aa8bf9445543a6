#!/usr/bin/env bash
# Shutdown when done: a stand-in "shutdown" first on the search path
# records its arguments; the real command is never reached.
. "$(dirname "$0")/lib.sh"

if on_windows; then
    echo "skipped under Wine: the stand-in is a shell script found through PATH on Linux;"
    echo "the Windows command line is checked by the unit tests"
    finish
    exit $?
fi

standin="$WORK/standin"
mkdir -p "$standin"
record="$WORK/shutdown-calls"
cat >"$standin/shutdown" <<STANDIN
#!/bin/sh
echo "\$*" >>"$record"
exit 0
STANDIN
chmod 755 "$standin/shutdown"
export PATH="$standin:$PATH"

calls() { cat "$record" 2>/dev/null; }

tree="$WORK/tree"
mkdir -p "$tree/src"
printf 'x' >"$tree/src/f"

case_begin "-S after a good run shuts down once"
: >"$record"
run_linksnap -S "$tree/src" "$tree/bk"
expect_rc 0
[ "$(calls)" = "-P now" ] || fail "shutdown calls: '$(calls)'"

case_begin "-S with a dry run that reaches its end shuts down"
: >"$record"
run_linksnap -S -n "$tree/src" "$tree/dry"
expect_rc 0
[ "$(calls)" = "-P now" ] || fail "shutdown calls: '$(calls)'"

case_begin "-S never follows a refused run, the usage text or -h"
: >"$record"
run_linksnap -S "$tree/src" "$tree/bk" # today's snapshot exists
expect_rc 1
run_linksnap -S
expect_rc 1
run_linksnap -hS "$tree/src" "$tree/bk2"
expect_rc 1
run_linksnap -S "$tree/missing" "$tree/bk3"
expect_rc 1
[ -z "$(calls)" ] || fail "shutdown ran after a refusal: '$(calls)'"

finish
