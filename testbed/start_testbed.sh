#!/usr/bin/env bash
# Starts the test bed: a pcscd of its own with vsmartcard's vpcd driver, which
# shows the readers "Virtual PCD 00 00" and "Virtual PCD 00 01", one virtual
# card (vexa-card) inserted in each, and vexa-rpcscd serving both readers on
# loopback ($VEXA_RPCSCD_PORT, default 35965; the address is in
# rpcscd.address), and a second vexa-rpcscd serving them over TLS
# ($VEXA_RPCSCD_TLS_PORT, default 35966; the address is in
# rpcscd-tls.address) with certificates of the bed's own CA in tls/: ca.pem,
# the server's for 127.0.0.1, and client.pem and client.key, which its
# clients file grants every reader. Tests find it all through
# VEXA_TESTBED_DIR.
#
#   start_testbed.sh [BUILD_DIR]     (default: $VEXA_BUILD_DIR or ./build)
#
# Directory: $VEXA_TESTBED_DIR, default /tmp/vexa-testbed. It holds the pid
# files, logs, the cards' control sockets card0.sock and card1.sock, the
# reader configuration given to pcscd, and HBCIKRNL.INI, which declares the
# two readers as the CT-API terminals VEXA_CT_0 and VEXA_CT_1 of the build's
# libvexa-ctapi.so (tests set windir to the directory).
#
# pcsc-lite's pcscd always binds /run/pcscd/pcscd.comm, which belongs to the
# system's own card service. So the bed's pcscd runs in a mount namespace of
# its own where /run is the bed's folder run/ (its socket is
# run/pcscd/pcscd.comm), sees no USB reader drivers (the machine's real
# readers stay the system pcscd's), and listens for its virtual cards on
# ports of its own ($VEXA_VPCD_PORT and the next, default
# 35973 and 35974; a system pcscd with Debian's vpcd takes 35963 and 35964).
# Clients reach it through PCSCLITE_CSOCK_NAME, which the file env exports:
#   source $VEXA_TESTBED_DIR/env
# A system pcscd, its socket and its pid file are never touched.
# testbed/stop_testbed.sh stops what this script started.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BUILD=${1:-${VEXA_BUILD_DIR:-$VEXA_ROOT/build}}
DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}
CARD=$BUILD/testbed/vexa-card
DRIVER=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
READERS=("Virtual PCD 00 00" "Virtual PCD 00 01")
VPCD_PORT=${VEXA_VPCD_PORT:-35973}
PORTS=("$VPCD_PORT" "$((VPCD_PORT + 1))")
RPCSCD=$BUILD/server/vexa-rpcscd
RPCSCD_PORT=${VEXA_RPCSCD_PORT:-35965}
RPCSCD_TLS_PORT=${VEXA_RPCSCD_TLS_PORT:-35966}
SYSTEM_SOCKET=/run/pcscd/pcscd.comm

fail() { echo "start_testbed: $*" >&2; exit 1; }
# A live (not zombie) process whose pid the file holds.
alive() { [ -f "$1" ] && ps -o stat= -p "$(cat "$1")" 2>/dev/null | grep -q '^[^Z]'; }

# True once `vexa-card readers` lists both virtual readers.
readers_ready() {
    local list
    list=$("$CARD" readers 2>/dev/null) || return 1
    for r in "${READERS[@]}"; do grep -qxF "$r" <<< "$list" || return 1; done
}

wait_for() {  # wait_for SECONDS COMMAND...
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}

# The command that runs its arguments in a private mount namespace: root's
# own, or else one of an unprivileged user namespace where the kernel allows.
# Tried first, so that a refusal is named here rather than read later as a
# pcscd without readers.
namespace_command() {
    local command="unshare --mount --propagation private" error
    [ "$(id -u)" -eq 0 ] || command="unshare --user --map-root-user --mount --propagation private"
    if error=$($command true 2>&1); then
        echo "$command"
        return
    fi
    # The kernel cannot make / private when it is no mount point: a chroot
    # into a plain folder.
    [[ $error != *"Invalid argument"* ]] ||
        fail "pcscd needs a mount namespace of its own, and '$command' fails: $error. / is not a mount point here (a chroot into a plain folder?), so it cannot be made private: bind-mount the root onto itself and enter it anew, e.g. from outside: mount --bind ROOT ROOT, then chroot ROOT"
    [ "$(id -u)" -eq 0 ] ||
        fail "pcscd needs a mount namespace of its own, and this kernel gives none to user $(id -un) ($error): run as root, or allow unprivileged user namespaces (sysctl user.max_user_namespaces, kernel.unprivileged_userns_clone)"
    fail "pcscd needs a mount namespace of its own, and '$command' fails: $error"
}

# pcscd's options beyond the bed's paths. pcsc-lite 2 asks polkit about every
# client over the system bus, which the bed's private /run hides; the bed's
# pcscd serves only the bed, so it asks nobody where it can be told so.
pcscd_options() {
    local help
    help=$(pcscd --help 2>&1 || true)
    [[ $help != *--disable-polkit* ]] || echo "--disable-polkit"
}

# Why the bed's pcscd shows no readers, from its log.
pcscd_failure() {
    local refused
    refused=$(grep -m1 "is NOT authorized for action" "$DIR/pcscd.log" 2>/dev/null || true)
    [ -z "$refused" ] ||
        fail "pcscd refused the bed's clients by its policy (polkit): '$refused'; a polkit rule must grant user $(id -un) org.debian.pcsc-lite.access_pcsc and org.debian.pcsc-lite.access_card (see $DIR/pcscd.log)"
    fail "pcscd shows no virtual readers; see $DIR/pcscd.log"
}

# The bed's pcscd must serve the bed's socket from a namespace of its own,
# never the system's socket.
check_isolated() {
    local pid=$1
    [ "$(readlink "/proc/$pid/ns/mnt")" != "$(readlink /proc/self/ns/mnt)" ] ||
        fail "pcscd (pid $pid) runs in the system's mount namespace; stop it with testbed/stop_testbed.sh"
    [ -S "$SOCKET" ] || fail "pcscd (pid $pid) made no socket $SOCKET"
    ! [ "$SOCKET" -ef "$SYSTEM_SOCKET" ] || fail "$SOCKET is the system's $SYSTEM_SOCKET"
}

start_pcscd() {
    [ -e "$DRIVER" ] || fail "vpcd driver $DRIVER missing: apt-get install vsmartcard-vpcd"
    command -v pcscd >/dev/null || fail "pcscd missing: apt-get install pcscd"
    if alive "$DIR/pcscd.pid"; then
        check_isolated "$(cat "$DIR/pcscd.pid")"
        return
    fi
    local command ns options
    command=$(namespace_command)
    read -ra ns <<< "$command"
    options=$(pcscd_options)
    # Our own reader configuration, so only the virtual readers take part.
    # vpcd listens on the port after the colon and on the next for its second
    # reader.
    mkdir -p "$DIR/reader.conf.d"
    printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
        "$VPCD_PORT" "$DRIVER" "$VPCD_PORT" > "$DIR/reader.conf.d/vpcd"
    # Left behind by our pcscd if it died: a new one refuses to start beside them.
    mkdir -p "$DIR/run/pcscd" "$DIR/empty"
    rm -f "$DIR/run/pcscd/pcscd.comm" "$DIR/run/pcscd/pcscd.pid"
    vexa_log "Starting pcscd (vpcd ports ${PORTS[*]}, socket $SOCKET)"
    # In the namespace: /run is the bed's run/, and an empty folder hides
    # every USB driver bundle. Its own session: a test run killed by its
    # process group must not take the shared resource manager with it.
    # unshare and sh exec, so the pid is pcscd's; the namespace and its
    # mounts end with it.
    # shellcheck disable=SC2016
    setsid "${ns[@]}" sh -c 'for b in /usr/lib/pcsc/drivers/*.bundle; do [ ! -d "$b" ] || mount --bind "$2" "$b" || exit; done
        mount --bind "$1" /run && exec pcscd --foreground --config "$3" $4' \
        sh "$DIR/run" "$DIR/empty" "$DIR/reader.conf.d" "$options" </dev/null >"$DIR/pcscd.log" 2>&1 &
    local pid=$!
    echo "$pid" > "$DIR/pcscd.pid"
    wait_for 10 readers_ready || pcscd_failure
    check_isolated "$pid"
}

# Ports 1 and 2 of the driver are pcscd's first and second reader.
write_ctapi_ini() {
    local lib
    lib=$(cd "$BUILD" && pwd)/ctapi/libvexa-ctapi.so
    [ -f "$lib" ] || fail "$lib missing: build first"
    printf '[CardReader]\r\nVEXA_CT_0=Active\r\nVEXA_CT_1=Active\r\n\r\n' > "$DIR/HBCIKRNL.INI"
    printf '[VEXA_CT_%s]\r\nCtDllName=%s\r\nPort=%s\r\n\r\n' 0 "$lib" 1 1 "$lib" 2 >> "$DIR/HBCIKRNL.INI"
}

start_card() {  # start_card INDEX
    local i=$1
    if ! alive "$DIR/card$i.pid"; then
        "$CARD" serve --port "${PORTS[$i]}" --control "$DIR/card$i.sock" </dev/null >"$DIR/card$i.log" 2>&1 &
        echo $! > "$DIR/card$i.pid"
    fi
    wait_for 5 "$CARD" ctl "$DIR/card$i.sock" status >/dev/null || fail "virtual card $i does not answer"
    "$CARD" ctl "$DIR/card$i.sock" insert >/dev/null
    "$CARD" wait "${READERS[$i]}" present 5000 || fail "no card in ${READERS[$i]}"
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

start_rpcscd() {  # start_rpcscd NAME PORT [TLS OPTIONS...]
    local name=$1 port=$2
    shift 2
    if ! alive "$DIR/$name.pid"; then
        "$RPCSCD" --listen 127.0.0.1 --port "$port" "$@" </dev/null >/dev/null 2>"$DIR/$name.log" &
        echo $! > "$DIR/$name.pid"
    fi
    wait_for 5 listening "$port" || fail "vexa-rpcscd does not listen on port $port; see $DIR/$name.log"
    echo "127.0.0.1:$port" > "$DIR/$name.address"
}

# The bed's CA, the TLS server's certificate and one client's, made once.
# The bed's CA, its TLS server's certificate, and two clients: `client` for
# every reader, `second` for the second reader only.
make_tls_files() {
    local tls=$DIR/tls line
    [ -s "$tls/clients" ] && [ -s "$tls/second.pem" ] && return
    rm -rf "$tls"
    "$RPCSCD" certs init "$tls" --address 127.0.0.1 >/dev/null 2>"$DIR/certs.log" ||
        fail "vexa-rpcscd certs init failed; see $DIR/certs.log"
    "$RPCSCD" certs client "$tls" client >"$tls/clients.new" 2>>"$DIR/certs.log" ||
        fail "vexa-rpcscd certs client failed; see $DIR/certs.log"
    line=$("$RPCSCD" certs client "$tls" second 2>>"$DIR/certs.log") ||
        fail "vexa-rpcscd certs client failed; see $DIR/certs.log"
    echo "$line Virtual PCD 00 01" >>"$tls/clients.new"
    mv "$tls/clients.new" "$tls/clients"
}

[ -x "$CARD" ] || fail "$CARD missing: build first"
[ -x "$RPCSCD" ] || fail "$RPCSCD missing: build first"
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd -P)
# Tests load the library HBCIKRNL.INI names and scripts source env: the
# folder must be nobody else's.
[ -O "$DIR" ] && [ -z "$(find "$DIR" -maxdepth 0 -perm /022)" ] ||
    fail "$DIR belongs to someone else or others may write to it"
# pcscd's /run hides whatever lies below the real one.
case $DIR/ in /run/* | /var/run/*) fail "$DIR: the test bed's folder must not lie under /run" ;; esac
SOCKET=$(vexa_testbed_socket "$DIR")
# A longer name does not fit a socket address.
[ ${#SOCKET} -lt 108 ] || fail "$SOCKET: name too long for a socket; choose a shorter VEXA_TESTBED_DIR"
# This script's own PC/SC calls (vexa-card readers, wait) and vexa-rpcscd.
export PCSCLITE_CSOCK_NAME=$SOCKET
{
    echo "# The test bed in $DIR: source this file to reach its pcscd."
    printf 'export %s=%q\n' VEXA_TESTBED_DIR "$DIR" PCSCLITE_CSOCK_NAME "$SOCKET" \
        VEXA_VPCD_PORT "$VPCD_PORT" VEXA_RPCSCD_PORT "$RPCSCD_PORT" VEXA_RPCSCD_TLS_PORT "$RPCSCD_TLS_PORT"
} > "$DIR/env"
# Someone else's server on the port would pass for ours: refuse before
# starting anything.
alive "$DIR/rpcscd.pid" || ! listening "$RPCSCD_PORT" || fail "port $RPCSCD_PORT is taken: set VEXA_RPCSCD_PORT"
alive "$DIR/rpcscd-tls.pid" || ! listening "$RPCSCD_TLS_PORT" ||
    fail "port $RPCSCD_TLS_PORT is taken: set VEXA_RPCSCD_TLS_PORT"
start_pcscd
start_card 0
start_card 1
start_rpcscd rpcscd "$RPCSCD_PORT"
make_tls_files
start_rpcscd rpcscd-tls "$RPCSCD_TLS_PORT" --tls-cert "$DIR/tls/server-127.0.0.1.pem" \
    --tls-key "$DIR/tls/server-127.0.0.1.key" --tls-client-ca "$DIR/tls/ca.pem" --tls-clients "$DIR/tls/clients"
write_ctapi_ini
vexa_log "Test bed ready: source $DIR/env"
