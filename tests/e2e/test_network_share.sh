#!/usr/bin/env bash
# A backup root on a network share (Linux, as root): an SSH server of the
# test's own on the loopback address, a folder of it mounted through sshfs.
# Unchanged files are hard links on the server's side, times agree to the
# second the share keeps; a share mounted without hard links is said once
# and its unchanged files are copied.
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
    fusermount -u "$share" 2>/dev/null
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

finish
