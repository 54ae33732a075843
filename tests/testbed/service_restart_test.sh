#!/usr/bin/env bash
# The card service goes away under the event monitor and comes back: its
# failure logged once, every reader reported removed, quiet retries, then the
# retry line, every reader added and every card ready again. Restarts the
# test bed's own pcscd, so it skips when the bed uses a pcscd it did not start.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
[[ -s "$dir/pcscd.pid" ]] || { echo "SKIP: the test bed uses a pcscd it did not start"; exit 77; }
build=$(cd "$(dirname "$vexa")/.." && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
printf 'LOGLEVEL=DEBUG\n' > "$config"
R0="Virtual PCD 00 00"
R1="Virtual PCD 00 01"
count() { grep -cF -- "$1" "$log" || true; }
waitfor() {  # waitfor TEXT [N]: until the log holds TEXT N times (default 1)
    local n=${2:-1}
    for _ in $(seq 150); do (( $(count "$1") >= n )) && return; sleep 0.1; done
    fail "waited for '$1' x$n"
}

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
sleep 0.5
errors=$(count " ERROR ")
(( errors >= 1 && errors <= 2 )) || fail "$errors ERROR lines"
sleep 1 # ten more failed passes
expect "ERROR lines while the service stays gone" "$(count " ERROR ")" "$errors"
expect "removals" "$(count "Event reader removed")" "2"

VEXA_TESTBED_DIR=$dir bash "$root/testbed/start_testbed.sh" "$build" >/dev/null
waitfor "Retry of initialization successful in eventHandler ()"
waitfor "Event reader added $R0"
waitfor "Event reader added $R1"
waitfor "Event card ready in reader $R0" 2
waitfor "Event card ready in reader $R1" 2
expect "events off" "$(call DisableEvents '[]')" "0"
stop_shell
logged "DEBUG   Events disabled"
echo "service_restart_test passed"
