#!/usr/bin/env bash
# `vexa readers` on the test bed: the readers and cards through each
# configured interface type (PC/SC, the remote server, CT-API), the messages
# without readers or resource manager, and --watch seeing card 0 taken out
# and put back, ending on the end of its input and on SIGTERM.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@" rpcscd.address HBCIKRNL.INI
R0="Virtual PCD 00 00"
R1="Virtual PCD 00 01"
ATR="3B 88 80 01 56 45 58 41 43 41 52 44 17"
server=$(cat "$dir/rpcscd.address")
watch_pid=
trap 'c0 insert nowait; [[ -n "$watch_pid" ]] && kill "$watch_pid" 2>/dev/null; cleanup' EXIT

readers() {
    local status=0 text
    text=$(cd "$work/cwd" && "$vexa" readers "$@" 2>&1 | text) || status=$?
    printf '%s\n[%s]' "$text" "$status"
}
for c in c0 c1; do $c insert; done
"$card" wait "$R0" present 5000 && "$card" wait "$R1" present 5000 || fail "cards not present"

# PC/SC, the default. Other tests may be using a card, so "in use" may follow.
out=$(readers)
grep -q "^Readers through PCSC:$" <<< "$out" || fail "PC/SC header: $out"
grep -q "^  $R0: card present\(, in use\)\?, ATR $ATR$" <<< "$out" || fail "PC/SC reader 0: $out"
grep -q "^  $R1: card present\(, in use\)\?, ATR $ATR$" <<< "$out" || fail "PC/SC reader 1: $out"
expect "status" "$(tail -1 <<< "$out")" "[0]"

# A card held exclusively by another program shows so.
mkfifo "$work/hold.in"
"$card" hold "$R1" < "$work/hold.in" > "$work/hold.out" &
holder_pid=$!
exec {hold_in}> "$work/hold.in"
for _ in $(seq 200); do grep -q held "$work/hold.out" && break; sleep 0.05; done
grep -q "^  $R1: card present, in exclusive use, ATR $ATR$" <<< "$(readers)" || fail "held: $(readers)"
exec {hold_in}>&-
wait "$holder_pid" || fail "holder exit status $?"
holder_pid=

# The remote server's readers, from the configuration file alone.
printf 'INTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=%s\n' "$server" > "$config"
out=$(readers)
grep -q "^Readers through REMOTE_PCSC:$" <<< "$out" || fail "remote header: $out"
grep -q "^  $server:$R0: card present\(, in use\)\?, ATR $ATR$" <<< "$out" || fail "remote reader 0: $out"
printf 'INTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=127.0.0.1:1\n' > "$config"
out=$(readers)
grep -q "^vexa readers: the readers of REMOTE_PCSC cannot be listed: " <<< "$out" || fail "no server: $out"
expect "no server status" "$(tail -1 <<< "$out")" "[1]"
printf 'INTERFACE=REMOTE_PCSC\n' > "$config"
expect "no server configured" "$(readers)" $'No reader found through REMOTE_PCSC.\n[1]'

# No resource manager where the client looks for it.
printf 'INTERFACE=PCSC\n' > "$config"
if [[ -z "${VEXA_RUNNER:-}" ]]; then
    out=$(PCSCLITE_CSOCK_NAME="$work/no-pcscd.comm" readers)
    grep -q "^vexa readers: the readers of PCSC cannot be listed: no PC/SC resource manager (pcscd) is running" \
        <<< "$out" || fail "no resource manager: $out"
else
    echo "SKIP: no resource manager: pcsc-lite's socket is not what a runner's winscard looks for"
fi

# CT-API terminals of HBCIKRNL.INI ($windir is also the config home then; a
# runner's system has its own windir, holding an HBCIKRNL.INI for its driver).
(
    if [[ -z "${VEXA_RUNNER:-}" ]]; then
        export windir="$work/windows"
        config="$windir/MERIDAN/vexa_ie.conf"
        mkdir -p "$windir/MERIDAN"
        cp "$dir/HBCIKRNL.INI" "$windir/"
    fi
    printf 'INTERFACE=CTAPI\r\n' > "$config"
    out=$(readers)
    expect "CT-API" "$out" $'Readers through CTAPI:\n  VEXA_CT_0: card present\n  VEXA_CT_1: card present\n[0]'
    expect "CT-API --watch" "$(readers --watch </dev/null | head -1)" "vexa readers: --watch: CT-API terminals report no events"
) || exit 1

# --watch over PC/SC: the card going and coming, then the end of input.
printf 'INTERFACE=PCSC\n' > "$config"
coproc WATCH { cd "$work/cwd" && exec "$vexa" readers --watch 2>"$work/watch.err"; }
watch_pid=$WATCH_PID
# wait_line TEXT: reads the watcher's lines until one starts with TEXT
wait_line() {
    local line
    while IFS= read -r -t 20 line <&"${WATCH[0]}"; do
        [[ "$line" == "$1"* ]] && return 0
    done
    fail "no line '$1' from --watch"
}
# The monitor announces the present cards first; it is watching from then on.
wait_line "card ready: $R0 (ATR $ATR, T="
c0 remove
wait_line "card removed: $R0"
c0 insert
wait_line "card ready: $R0 (ATR $ATR, T="
eval "exec ${WATCH[1]}>&-"
status=0
wait "$watch_pid" || status=$?
watch_pid=
expect "watch ends on end of input" "$status" "0"
grep -q "Watching for card and reader events" "$work/watch.err" || fail "watch stderr: $(cat "$work/watch.err")"

# SIGTERM ends it cleanly too; a Windows program under a runner has no
# SIGTERM to be given.
if [[ -n "${VEXA_RUNNER:-}" ]]; then
    echo "SKIP: watch ends on SIGTERM: a Windows program has no POSIX signals"
    echo "readers_tool_test passed"
    exit 0
fi
mkfifo "$work/watch.in"
"$vexa" readers --watch < "$work/watch.in" > "$work/watch2.out" 2>/dev/null &
watch_pid=$!
exec {watch_in}> "$work/watch.in"
for _ in $(seq 400); do grep -q "^card ready: $R1" "$work/watch2.out" && break; sleep 0.05; done
grep -q "^card ready: $R1" "$work/watch2.out" || fail "second watcher saw nothing: $(cat "$work/watch2.out")"
kill -TERM "$watch_pid"
status=0
wait "$watch_pid" || status=$?
watch_pid=
exec {watch_in}>&-
expect "watch ends on SIGTERM" "$status" "0"
echo "readers_tool_test passed"
