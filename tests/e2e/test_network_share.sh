#!/usr/bin/env bash
# A backup root on a network share (Linux, as root): an SSH server of the
# test's own on the loopback address, a folder of it mounted through sshfs.
# Unchanged files are hard links on the server's side, times agree to the
# second the share keeps; a share that drops during a run leaves its
# snapshot unfinished for the next run; a share mounted without hard links
# is said once and its unchanged files are copied.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/faults_lib.sh"

sshd=/usr/sbin/sshd
if on_windows || [ "$(id -u)" != 0 ] || [ ! -x "$sshd" ] || ! command -v sshfs >/dev/null ||
    ! command -v ssh-keygen >/dev/null || ! command -v faketime >/dev/null || [ ! -e /dev/fuse ]; then
    echo "skipped: needs root, openssh-server, sshfs, faketime and /dev/fuse"
    exit 77
fi

export NO_FAKE_STAT=1
on_day() {
    local d=$1
    shift
    faketime "2031-03-0$d 12:00:00" "$LINKSNAP" "$@" >"$OUT" 2>"$ERR" </dev/null
    RC=$?
}

keys="$WORK/ssh" served="$WORK/served" share="$WORK/share" plain="$WORK/plain"
mkdir -p "$keys" "$served" "$share" "$plain"
chmod 700 "$keys"
ssh-keygen -q -t ed25519 -N '' -f "$keys/host" && ssh-keygen -q -t ed25519 -N '' -f "$keys/client" || exit 77
cp "$keys/client.pub" "$keys/authorized_keys"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$keys/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $keys/host
AuthorizedKeysFile $keys/authorized_keys
PidFile $keys/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
StrictModes no
UsePAM no
Subsystem sftp internal-sftp
CONFIG
# Privilege separation wants its empty folder.
mkdir -p /run/sshd
"$sshd" -D -e -f "$keys/sshd_config" 2>"$keys/sshd.log" &
sshd_pid=$!
stop_all() {
    # Lazily: a mount whose connection dropped may no longer answer.
    fusermount -u -z "$share" 2>/dev/null
    fusermount -u "$plain" 2>/dev/null
    kill "$sshd_pid" 2>/dev/null
    wait "$sshd_pid" 2>/dev/null
    rm -rf "$WORK"
}
trap stop_all EXIT
mount_share() {
    local at=$1
    shift
    local tries
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        sshfs -p "$port" -o IdentityFile="$keys/client",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null \
            -o LogLevel=ERROR "$@" "root@127.0.0.1:$served" "$at" 2>/dev/null && return 0
        sleep 0.3
    done
    return 1
}
if ! mount_share "$share"; then
    echo "skipped: the share could not be mounted: $(head -c 300 "$keys/sshd.log")"
    exit 77
fi

case_begin "a root on an sshfs share: unchanged files are hard links on the server, times to the second"
src="$CASE_DIR/src"
mkdir -p "$src/sub"
for i in 1 2 3 4 5; do printf 'file %s\n' "$i" >"$src/f$i"; done
printf 'deep' >"$src/sub/d"
touch -d '2020-05-05 10:00:00.123456789' "$src/f1" "$src/sub/d"
ln -s f1 "$src/link"
# A link made through sshfs keeps the time it was made: never the same as
# this one's, so it is copied each day (were the two made within one
# second, it would be linked).
touch -h -d '2020-05-05 10:00:00' "$src/link"
on_day 1 "$src" "$share/bk"
expect_rc 0
expect_file "$ERR" ""
grep -q "hard links are not supported" "$OUT" && fail "a share with hard links was taken for one without"
printf 'changed, longer' >"$src/f5"
on_day 2 "$src" "$share/bk"
expect_rc 0
expect_file "$ERR" ""
expect_contains "$OUT" "$(counter_line 5 'files linked')"
expect_contains "$OUT" "copy $share/bk/2031_03_02/link"
expect_contains "$OUT" "copy $share/bk/2031_03_02/f5"
# Through sshfs names of one file show apart: the server's folder tells.
for name in f1 f2 f3 f4 sub/d; do expect_linked "$served/bk/2031_03_02/$name" "$served/bk/2031_03_01/$name"; done
expect_not_linked "$served/bk/2031_03_02/f5" "$served/bk/2031_03_01/f5"
expect_file "$served/bk/2031_03_02/f5" "changed, longer"
for name in f1 f5 sub/d; do
    [ "$(stat -c %Y "$src/$name")" = "$(stat -c %Y "$served/bk/2031_03_02/$name")" ] || fail "$name: its time differs: $(stat -c %y "$src/$name" "$served/bk/2031_03_02/$name")"
done
expect_contains "$served/bk/_dir" "2031_03_02"

case_begin "a share mounted without hard links is said once, and unchanged files are copied"
mount_share "$plain" -o disable_hardlink || fail "the second mount failed"
bk="$plain/nolinks"
on_day 1 "$src" "$bk"
expect_rc 0
on_day 2 "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
said="hard links are not supported on $bk/: unchanged files are copied."
[ "$(grep -cF "$said" "$OUT")" = 1 ] || fail "the missing hard links are not said once: $(head -c 300 "$OUT")"
[ "$(sed -n 3p "$OUT")" = "$said" ] || fail "the missing hard links are not said after the start lines"
expect_contains "$bk/log.txt" "$said"
expect_contains "$OUT" "$(counter_line 7 'files copied')"
grep -q '^link \|link error' "$OUT" "$ERR" && fail "a link was tried"
expect_not_linked "$served/nolinks/2031_03_02/f1" "$served/nolinks/2031_03_01/f1"

case_begin "a share that drops mid-run: failures counted, the snapshot unfinished; continued the same day, passed over later"
# A run stops right before it opens one of its copies; the server's side
# of the connection is killed meanwhile, and the run goes on against a
# dead mount. One worker: the walk's order is that of one thread. The
# share's is the one connection left.
fusermount -u "$plain"
asan_runtime=$(ldd "$LINKSNAP" 2>/dev/null | awk '/libasan/ { print $3 }')
PRELOAD="${asan_runtime:+$asan_runtime }${FAULT_SHIM:?FAULT_SHIM must name the fault library}"
src="$CASE_DIR/src" bk="$share/drop"
mkdir -p "$src/sub"
for name in f1 f2 f3 f4 f5 sub/s1; do printf 'first %s\n' "$name" >"$src/$name"; done
# Whole seconds: the share keeps no more.
touch -d '2020-05-05 10:00:00' "$src"/f* "$src/sub/s1"
on_day 1 "$src" "$bk"
expect_rc 0
# The walk's order of the files, for where to stop.
mapfile -t order < <(sed -n "s#^copy $bk/2031_03_01/##p" "$OUT")
[ ${#order[@]} = 6 ] || fail "the first run's order: ${order[*]}"
# Each change its own bytes and day.
changes=0
change() {
    local name
    for name in "$@"; do
        changes=$((changes + 1))
        printf 'change %s of %s\n' "$changes" "$name" >"$src/$name"
        touch -d "2020-06-$((10 + changes)) 10:00:00" "$src/$name"
    done
}
# drop_during DAY STOP: the run of DAY stops before it opens the copy STOP
# (a name in the snapshot); the server's side of the mount's connection is
# killed and the run goes on. $OUT, $ERR, $RC as ever; the share mounted
# again after.
drop_during() {
    local day=$1 stop=$2 holder pid="" child tries=0
    # Hangups ignored: a stopped run must not end if its process group is
    # left without a parent meanwhile (the kernel then sends it SIGHUP).
    (
        trap '' HUP
        exec env LD_PRELOAD="$PRELOAD" FAULT_STOP_PATH="$bk/2031_03_0$day/$stop" LINKSNAP_WORKERS=1 \
            faketime "2031-03-0$day 12:00:00" "$LINKSNAP" "$src" "$bk" >"$OUT" 2>"$ERR" </dev/null
    ) &
    holder=$!
    # The run is faketime's child; on a loaded machine (the sanitizer
    # build, other tests beside it) it may take long to reach the copy.
    while [ -z "$pid" ] && [ $tries -lt 600 ] && kill -0 "$holder" 2>/dev/null; do
        for child in $(pgrep -P "$holder"); do
            [ "$(awk '{ print $3 }' "/proc/$child/stat" 2>/dev/null)" = T ] && pid=$child
        done
        [ -n "$pid" ] || sleep 0.1
        tries=$((tries + 1))
    done
    if [ -z "$pid" ]; then
        fail "the run did not stop at $stop"
        kill -9 $(pgrep -P "$holder") 2>/dev/null
        wait "$holder"
        return
    fi
    kill $(pgrep -P "$sshd_pid")
    tries=0
    while ls "$bk" >/dev/null 2>&1 && [ $tries -lt 200 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    kill -CONT "$pid"
    tries=0
    while kill -0 "$holder" 2>/dev/null && [ $tries -lt 600 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    kill -0 "$holder" 2>/dev/null && { fail "the run hangs on the dropped share"; kill -9 "$pid"; }
    wait "$holder"
    RC=$?
    expect_rc 2
    local errors
    errors=$(grep -c '^copy error ' "$ERR")
    expect_contains "$ERR" "copy error $bk/2031_03_0$day/$stop"
    expect_contains "$OUT" "$(counter_line "$errors" 'write errors')"
    expect_contains "$ERR" "cannot record the snapshot as complete: $bk/2031_03_0$day/"
    fusermount -u -z "$share" 2>/dev/null
    mount_share "$share" || fail "the share could not be mounted again"
    "$LINKSNAP_UTIL" list "$bk" >"$CASE_DIR/list"
    grep -q "^2031_03_0$day  unfinished " "$CASE_DIR/list" || fail "list: $(cat "$CASE_DIR/list")"
    grep -q "2031_03_0$day" "$served/drop/_dir" && fail "the state file names the broken snapshot"
}
# Day 2: three files changed, the drop at the second of them; the same day
# continues the snapshot and makes it whole.
change "${order[@]:1:3}"
drop_during 2 "${order[2]}"
on_day 2 "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
expect_contains "$OUT" "continuing the unfinished snapshot."
expect_same_tree "$src" "$served/drop/2031_03_02"
for name in "${order[0]}" "${order[@]:4}"; do expect_linked "$served/drop/2031_03_02/$name" "$served/drop/2031_03_01/$name"; done
expect_contains "$served/drop/_dir" "2031_03_02"
# Day 3: two files changed, the drop at the second, the first copied
# before it. Day 4 links against day 2, the last whole snapshot.
change "${order[3]}" "${order[4]}"
drop_during 3 "${order[4]}"
on_day 4 "$src" "$bk"
expect_rc 0
expect_file "$ERR" ""
expect_same_tree "$src" "$served/drop/2031_03_04"
for name in "${order[@]:0:3}" "${order[5]}"; do expect_linked "$served/drop/2031_03_04/$name" "$served/drop/2031_03_02/$name"; done
expect_present "$served/drop/2031_03_03/${order[3]}"
expect_not_linked "$served/drop/2031_03_04/${order[3]}" "$served/drop/2031_03_03/${order[3]}"
expect_contains "$served/drop/_dir" "2031_03_04"

finish
