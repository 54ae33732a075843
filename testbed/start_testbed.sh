#!/usr/bin/env bash
# Starts the test bed: pcscd with vsmartcard's vpcd driver, which shows the
# readers "Virtual PCD 00 00" and "Virtual PCD 00 01", and one virtual card
# (vexa-card) inserted in each, and vexa-rpcscd serving both readers on
# loopback ($RPCSCD_PORT; the address is in rpcscd.address). Tests find it all
# through VEXA_TESTBED_DIR.
#
#   start_testbed.sh [BUILD_DIR]     (default: $VEXA_BUILD_DIR or ./build)
#
# Directory: $VEXA_TESTBED_DIR, default /tmp/vexa-testbed. It holds the pid
# files, logs, the cards' control sockets card0.sock and card1.sock, and the
# reader configuration given to pcscd, and HBCIKRNL.INI, which declares the
# two readers as the CT-API terminals VEXA_CT_0 and VEXA_CT_1 of the build's
# libvexa-ctapi.so (tests set windir to the directory). A pcscd that is
# already running is used when it shows both virtual readers;
# testbed/stop_testbed.sh stops only what this script started.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BUILD=${1:-${VEXA_BUILD_DIR:-$VEXA_ROOT/build}}
DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}
CARD=$BUILD/testbed/vexa-card
DRIVER=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
READERS=("Virtual PCD 00 00" "Virtual PCD 00 01")
PORTS=(35963 35964)
RPCSCD=$BUILD/server/vexa-rpcscd
RPCSCD_PORT=${VEXA_RPCSCD_PORT:-35965}

fail() { echo "start_testbed: $*" >&2; exit 1; }
# A live (not zombie) process whose pid the file holds.
alive() { [ -f "$1" ] && ps -o stat= -p "$(cat "$1")" 2>/dev/null | grep -q '^[^Z]'; }
running_pcscd() { ps -C pcscd -o pid=,stat= | awk '$2 !~ /^Z/ {print $1}' | head -1; }

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

start_pcscd() {
    [ -e "$DRIVER" ] || fail "vpcd driver $DRIVER missing: apt-get install vsmartcard-vpcd"
    command -v pcscd >/dev/null || fail "pcscd missing: apt-get install pcscd"
    if alive "$DIR/pcscd.pid"; then return; fi
    if [ -n "$(running_pcscd)" ]; then
        readers_ready && { vexa_log "Using the running pcscd"; return; }
        fail "a pcscd without the virtual readers is running (pid $(running_pcscd)); stop it first"
    fi
    # Our own reader configuration, so only the virtual readers take part.
    mkdir -p "$DIR/reader.conf.d"
    printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH %s\nCHANNELID 0x8C7B\n' "$DRIVER" \
        > "$DIR/reader.conf.d/vpcd"
    # Left behind by a pcscd that died: a new one refuses to start beside them.
    rm -f /run/pcscd/pcscd.comm /run/pcscd/pcscd.pid
    vexa_log "Starting pcscd"
    # Its own session: a test run killed by its process group must not take
    # the shared resource manager with it.
    setsid pcscd --foreground --config "$DIR/reader.conf.d" </dev/null >"$DIR/pcscd.log" 2>&1 &
    echo $! > "$DIR/pcscd.pid"
    wait_for 10 readers_ready || fail "pcscd shows no virtual readers; see $DIR/pcscd.log"
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

rpcscd_ready() { (exec 3<>"/dev/tcp/127.0.0.1/$RPCSCD_PORT") 2>/dev/null; }

start_rpcscd() {
    if ! alive "$DIR/rpcscd.pid"; then
        "$RPCSCD" --listen 127.0.0.1 --port "$RPCSCD_PORT" </dev/null >/dev/null 2>"$DIR/rpcscd.log" &
        echo $! > "$DIR/rpcscd.pid"
    fi
    wait_for 5 rpcscd_ready || fail "vexa-rpcscd does not listen on port $RPCSCD_PORT; see $DIR/rpcscd.log"
    echo "127.0.0.1:$RPCSCD_PORT" > "$DIR/rpcscd.address"
}

[ -x "$CARD" ] || fail "$CARD missing: build first"
[ -x "$RPCSCD" ] || fail "$RPCSCD missing: build first"
mkdir -p "$DIR"
start_pcscd
start_card 0
start_card 1
start_rpcscd
write_ctapi_ini
vexa_log "Test bed ready: export VEXA_TESTBED_DIR=$DIR"
