#!/usr/bin/env bash
# The card service goes away under the event monitor and comes back: its
# failure logged once, every reader reported removed, quiet retries, then the
# retry line, every reader added and every card ready again. Restarts the
# test bed's own pcscd.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
build=$(cd "$(dirname "$vexa")/.." && pwd)
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

for c in c0 c1; do $c reset; $c insert; done
start_shell
expect "Open" "$(call Open '["p"]')" "0"
expect "events on" "$(call EnableEvents '["ev"]')" "0"
waitfor "Event card ready in reader $R0"
waitfor "Event card ready in reader $R1"

pid=$(cat "$dir/pcscd.pid")
kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
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

# With the bed's own ports.
(source "$dir/env" && bash "$root/testbed/start_testbed.sh" "$build" >/dev/null)
waitfor "Retry of initialization successful in eventHandler ()"
waitfor "Event reader added $R0"
waitfor "Event reader added $R1"
waitfor "Event card ready in reader $R0" 2
waitfor "Event card ready in reader $R1" 2
expect "events off" "$(call DisableEvents '[]')" "0"
stop_shell
logged "DEBUG   Events disabled"
echo "service_restart_test passed"
