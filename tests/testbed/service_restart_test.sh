#!/usr/bin/env bash
# The card service goes away under the event monitor and comes back: its
# failure logged once, every reader reported removed, quiet retries, then the
# retry line, every reader added and every card ready again. The page's card
# connection died with the service: it is reported as a removed card, and
# every call that needs no card works at the first try. Restarts the test
# bed's own pcscd.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
# The Linux build that runs the test bed, also when vexa runs under Wine.
build=$(cd "$(dirname "$card")/.." && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
printf 'LOGLEVEL=DEBUG\n' > "$config"
R0="Virtual PCD 00 00"
R1="Virtual PCD 00 01"
count() { grep -cF -- "$1" "$log" || true; }
until_true() {  # until_true WHAT COMMAND...: until COMMAND succeeds, at most 15 s
    local what=$1
    shift
    for _ in $(seq 150); do "$@" && return; sleep 0.1; done
    fail "waited for $what"
}
holds() { (( $(count "$1") >= $2 )); }
waitfor() { until_true "'$1' x${2:-1}" holds "$1" "${2:-1}"; }  # waitfor TEXT [N]: until the log holds TEXT N times
# How often the shell's threads other than its main one have slept and woken.
# Only the event monitor runs beside the main thread, which waits for input;
# the monitor sleeps once before each pass.
wakeups() {
    local t n=0
    for t in /proc/"$shell_pid"/task/*; do
        [[ ${t##*/} == "$shell_pid" ]] || n=$(( n + $(awk '/^voluntary_ctxt_switches/ {print $2}' "$t/status") ))
    done
    echo "$n"
}
woken() { (( $(wakeups) >= $1 )); }

REMOVED=-2146434967 # SCARD_W_REMOVED_CARD
stop_pcscd() {
    local pid
    pid=$(cat "$dir/pcscd.pid")
    kill -TERM "$pid"
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
}
# With the bed's own ports.
start_pcscd() { (source "$dir/env" && bash "$root/testbed/start_testbed.sh" "$build" >/dev/null); }

for c in c0 c1; do $c reset; $c insert; done
c1 aid D2760000850101
start_shell
expect "Open" "$(call Open '["p"]')" "0"
expect "events on" "$(call EnableEvents '["ev"]')" "0"
waitfor "Event card ready in reader $R0"
waitfor "Event card ready in reader $R1"
expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
expect "echo" "$(call SendToCard '["80 EE 00 00 01 AA"]')" "aa 90 00"

stop_pcscd
waitfor "Event reader removed $R0"
waitfor "Event reader removed $R1"
# The query fails, then every initialisation: each failure is written once,
# however often it repeats.
waitfor "Initialization unsuccessful in eventHandler ()"
errors=$(count " ERROR ")
(( errors >= 1 && errors <= 2 )) || fail "$errors ERROR lines"
since=$(wakeups)
until_true "ten more failed passes" woken $(( since + 10 ))
expect "ERROR lines while the service stays gone" "$(count " ERROR ")" "$errors"
expect "removals" "$(count "Event reader removed")" "2"

start_pcscd
waitfor "Retry of initialization successful in eventHandler ()"
waitfor "Event reader added $R0"
waitfor "Event reader added $R1"
waitfor "Event card ready in reader $R0" 2
waitfor "Event card ready in reader $R1" 2
expect "events off" "$(call DisableEvents '[]')" "0"

# The card's handle died with the service: a removed card, never reused.
expect "send on the dead connection" "$(call SendToCard '["80 EE 00 00 01 AA"]')" ""
expect "its code" "$(call GetLastErrorCode '[]')" "$REMOVED"
expect "removed" "$(call IsCardRemoved '[]')" "992315"
expect "transaction" "$(call BeginTransaction '[]')" "$REMOVED"
expect "control" "$(call SendIOCTL '[3400, 0, ""]')" ""
expect "control code" "$(call GetLastErrorCode '[]')" "$REMOVED"
# Whatever needs no card works at once, the dead connection still held.
state=$(call GetCardStatus "[\"$R1\"]")
(( state > 0 && (state & 0x20) != 0 )) || fail "GetCardStatus $state after the restart"
expect "ATR" "$(call GetCardATR "[\"$R1\"]")" "3B 88 80 01 56 45 58 41 43 41 52 44 17 "
expect "reader list" "$(call GetReaderList '[]')" "$R0"$'\r'$'\n'"$R1"
expect "connect again" "$(call ConnectCardEx "[\"$R0\", 2, 3, 0]")" "0"
expect "echo again" "$(call SendToCard '["80 EE 00 00 01 BB"]')" "bb 90 00"

# Once more, with a connection the search made.
expect "search" "$(call SearchCard '["D2 76 00 00 85 01 01", ""]')" "$R1"
stop_pcscd
start_pcscd
expect "search after the restart" "$(call SearchCard '["D2 76 00 00 85 01 01", ""]')" "$R1"
expect "echo in the found card" "$(call SendToCard '["80 EE 00 00 01 CC"]')" "cc 90 00"
stop_pcscd
start_pcscd
expect "connect after the restart" "$(call ConnectCard "[\"$R1\", 2]")" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
stop_shell
logged "DEBUG   Events disabled"
echo "service_restart_test passed"
