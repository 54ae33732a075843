#!/usr/bin/env bash
# Stops what testbed/start_testbed.sh started (both vexa-rpcscd, the virtual cards
# and the bed's own pcscd, by their pid files) and removes the test bed's
# directory. pcscd's mount namespace, and with it its mounts of the bed's
# folders, ends with pcscd. A system pcscd is never touched.
set -uo pipefail
DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}

stop() {  # stop PIDFILE NAME
    local file=$1 name=$2 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    # Only our own process: the pid may have been reused since.
    if ps -o stat= -p "$pid" 2>/dev/null | grep -q '^[^Z]' && grep -q "$name" "/proc/$pid/cmdline" 2>/dev/null; then
        kill -TERM "$pid"
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    fi
    rm -f "$file"
}

[ -d "$DIR" ] || exit 0
stop "$DIR/rpcscd.pid" vexa-rpcscd
stop "$DIR/rpcscd-tls.pid" vexa-rpcscd
stop "$DIR/card0.pid" vexa-card
stop "$DIR/card1.pid" vexa-card
stop "$DIR/pcscd.pid" pcscd
[ -n "${VEXA_KEEP_TESTBED_LOGS:-}" ] || rm -rf "$DIR"
