#!/usr/bin/env bash
# The test bed's pcscd is its own and leaves the system's card service alone:
# it runs in a mount namespace of its own whose /run is the bed's folder
# run/ and which hides the USB reader drivers, its socket is the one the tests are given (PCSCLITE_CSOCK_NAME) and
# not the system's /run/pcscd/pcscd.comm, and the readers are reached there.
# A bed that cannot start says why: pcscd's policy refused its clients, or
# no private mount namespace can be made (a chroot into a plain folder).
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

# A second bed in a folder of its own, whose start must fail saying why; it
# fails before any port is taken.
build=$(cd "$(dirname "$card")/.." && pwd)
start_refused() { # WANTED_TEXT COMMAND...: the start's output in $work/start.out
    local want=$1 status=0
    shift
    "$@" >"$work/start.out" 2>&1 || status=$?
    # What the start left running (its pcscd) ends with it.
    [[ ! -s "$work/bed/pcscd.pid" ]] || kill "$(cat "$work/bed/pcscd.pid")" 2>/dev/null || true
    [[ $status -ne 0 ]] || fail "the bed started: $(cat "$work/start.out")"
    grep -qF -- "$want" "$work/start.out" || fail "no '$want' in: $(cat "$work/start.out")"
}
ports=(VEXA_VPCD_PORT=36170 VEXA_RPCSCD_PORT=36172 VEXA_RPCSCD_TLS_PORT=36173)

# pcsc-lite 2's polkit: the bed turns it off where pcscd offers that, and
# names a refusal by policy. This pcscd offers the option, takes it, and
# refuses as polkit would.
mkdir "$work/fake" "$work/bed"
cat >"$work/fake/pcscd" <<END
#!/bin/sh
[ "\$1" = --help ] && { echo '  --disable-polkit  do not ask polkit'; exit 0; }
echo "\$*" >"$work/fake/args"
echo "00000000 auth.c:139:IsClientAuthorized() Process 42 (user: 0) is NOT authorized for action: access_pcsc"
exec sleep 60
END
chmod +x "$work/fake/pcscd"
start_refused "pcscd refused the bed's clients by its policy (polkit)" \
    env PATH="$work/fake:$PATH" VEXA_TESTBED_DIR="$work/bed" "${ports[@]}" bash "$VEXA_ROOT/testbed/start_testbed.sh" "$build"
grep -q -- "--disable-polkit" "$work/fake/args" || fail "pcscd ran without --disable-polkit: $(cat "$work/fake/args")"

# A chroot into a plain folder, whose / is no mount point, can make no
# private mount namespace: the bed says so and how to mend it. Built in a
# mount namespace of the test's own, so nothing outside sees its mounts.
if [[ $(id -u) -eq 0 ]]; then
    root=$work/root
    mkdir -p "$root"/{usr,etc,dev,tmp} "$root$VEXA_ROOT" "$root$build"
    for link in bin sbin lib lib32 lib64 libx32; do
        [[ ! -L /$link ]] || ln -s "$(readlink "/$link")" "$root/$link"
    done
    # shellcheck disable=SC2016
    start_refused "bind-mount the root onto itself" unshare --mount --propagation private sh -c '
        for d in /usr /etc /dev "$2" "$3"; do mount --bind "$d" "$1$d" || exit; done
        exec chroot "$1" env VEXA_TESTBED_DIR=/tmp/bed "$4" "$5" "$6" bash "$2/testbed/start_testbed.sh" "$3"' \
        sh "$root" "$VEXA_ROOT" "$build" "${ports[@]}"
else
    echo "a chroot needs root: its case is not run"
fi
echo "own_pcscd_test passed"
