#!/usr/bin/env bash
# The test bed's pcscd is its own and leaves the system's card service alone:
# it runs in a mount namespace of its own whose /run is the bed's folder
# run/ and which hides the USB reader drivers, its socket is the one the tests are given (PCSCLITE_CSOCK_NAME) and
# not the system's /run/pcscd/pcscd.comm, and the readers are reached there.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
[[ -s "$dir/pcscd.pid" ]] || fail "no $dir/pcscd.pid"
pid=$(cat "$dir/pcscd.pid")
grep -qaF pcscd "/proc/$pid/cmdline" || fail "pid $pid is no pcscd"
[[ $(readlink "/proc/$pid/ns/mnt") != "$(readlink /proc/self/ns/mnt)" ]] || fail "pcscd runs in the system's mount namespace"
# Its /run is the bed's folder; ours is not.
[[ "/proc/$pid/root/run" -ef "$dir/run" ]] || fail "pcscd's /run is not $dir/run"
! [[ /run -ef "$dir/run" ]] || fail "the bed's folder is mounted on the system's /run"
for b in /usr/lib/pcsc/drivers/*.bundle; do
    [[ ! -d "$b" ]] || [[ -z "$(ls -A "/proc/$pid/root$b")" ]] || fail "pcscd sees the USB driver $b"
done
[[ -S "$PCSCLITE_CSOCK_NAME" ]] || fail "no socket $PCSCLITE_CSOCK_NAME"
[[ "$PCSCLITE_CSOCK_NAME" -ef "/proc/$pid/root/run/pcscd/pcscd.comm" ]] || fail "$PCSCLITE_CSOCK_NAME is not pcscd's socket"
! [[ "$PCSCLITE_CSOCK_NAME" -ef /run/pcscd/pcscd.comm ]] || fail "the tests use the system's socket"
readers=$("$card" readers)
for r in "Virtual PCD 00 00" "Virtual PCD 00 01"; do
    grep -qxF "$r" <<< "$readers" || fail "reader $r missing through $PCSCLITE_CSOCK_NAME"
done
echo "own_pcscd_test passed"
