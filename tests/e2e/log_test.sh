#!/usr/bin/env bash
# `vexa log` on the real binary: LOGLEVEL set in the user's configuration
# file with every other line kept, levels checked, the log's end shown; and
# no log file appears while the log is off, even when a page reads it.
set -euo pipefail
vexa=${1:?usage: log_test.sh <path-to-vexa>}
source "$(dirname "$0")/throwaway_user.sh"

expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
results() { python3 -c '
import json, sys
for line in sys.stdin:
    a = json.loads(line)
    print(a.get("result", "error: " + str(a.get("error"))))'; }
run() {
    local status=0 text
    text=$("$vexa" log "$@" 2>&1) || status=$?
    printf '%s\n[%s]' "$text" "$status"
}
meridan="$XDG_CONFIG_HOME/MERIDAN"
config="$meridan/vexa_ie.conf"
host_log="$meridan/vexa_ie.log"

# With the log off, an admitted page reading the log leaves no file behind.
out=$("$vexa" shell --url https://bank.example/a/x.html --answer yes <<'EOF2' | results
{"id":1,"method":"Open","args":["p"]}
{"id":2,"method":"ReadLogFile","args":[0]}
{"id":3,"method":"GetLastErrorCode","args":[]}
EOF2
)
expect "ReadLogFile with the log off" "$out" $'0\n\n0'
[[ ! -e vexa_ie.log ]] || fail "ReadLogFile created a log file"

expect "nothing to show" "$(run show)" "No log at $host_log (the log is off; 'vexa log on' turns it on).
[0]"

# Other lines, Windows line ends and the file's mode stay as they were.
printf '# my settings\r\nINTERFACE=CTAPI\r\n; REMOTE_PCSC_SERVER=1.2.3.4:5\r\n' > "$config"
chmod 640 "$config"
grep -q "The log is on at INFO ($config)" <<< "$(run on)" || fail "on: $(run on)"
expect "INFO appended" "$(cat -A "$config")" $'# my settings^M$\nINTERFACE=CTAPI^M$\n; REMOTE_PCSC_SERVER=1.2.3.4:5^M$\nLOGLEVEL=INFO^M$'
expect "mode kept" "$(stat -c %a "$config")" "640"
out=$(run on debug)
grep -q "The log is on at DEBUG" <<< "$out" || fail "on debug: $out"
grep -q "every APDU" <<< "$out" || fail "no APDU note: $out"
expect "replaced in place" "$(cat -A "$config")" $'# my settings^M$\nINTERFACE=CTAPI^M$\n; REMOTE_PCSC_SERVER=1.2.3.4:5^M$\nLOGLEVEL=DEBUG^M$'

before=$(cat -A "$config")
expect "typo" "$(run on INFOO)" "vexa log: INFOO: not a log level (TRACE, DEBUG, INFO, WARNING, ERROR, FATAL or LOG)
Try 'vexa log --help'.
[2]"
expect "OFF is not a level to turn on" "$(run on OFF | tail -1)" "[2]"
expect "unchanged after typo" "$(cat -A "$config")" "$before"
expect "unknown command" "$(run up | head -1)" "vexa log: up: unknown command (on, off or show)"
expect "off takes nothing" "$(run off now | tail -1)" "[2]"

printf 'INTERFACE=PCSC' > "$config"
grep -q "at LOG" <<< "$(run on log)" || fail "on log"
expect "last line without line end" "$(cat "$config")" $'INTERFACE=PCSC\nLOGLEVEL=LOG'

# The plug-in reads what the tool wrote; a shell started anywhere logs where
# the tool shows the log.
printf 'LOGLEVEL=WARNING\nINTERFACE=PCSC\n' > "$config"
grep -q "at INFO ($config); pages opened from now on log to $host_log." <<< "$(run on)" || fail "on again"
calls=$(for i in $(seq 1 50); do printf '{"id":%d,"method":"SetMode","args":["COLOUR%d","x"]}\n' "$i" "$i"; done)
out=$("$vexa" shell <<< "$calls" | tail -1 | results)
expect "shell ran" "$out" "992201"
[[ ! -e vexa_ie.log ]] || fail "the shell logged into its current directory"
out=$("$vexa" log show)
expect "40 lines shown" "$(wc -l <<< "$out")" "40"
grep -q "INFO    Unknown parameter: 'COLOUR50' $" <<< "$(tail -1 <<< "$out")" || fail "last line: $(tail -1 <<< "$out")"
grep -q "COLOUR10'" <<< "$out" && fail "more than the end shown"

# A page that is not admitted raises the level and floods GetMode: its
# records stop at 64 KiB with one line saying so.
before=$(stat -c %s "$host_log")
calls=$( { echo '{"id":0,"method":"SetMode","args":["LOGLEVEL","TRACE"]}'
           for i in $(seq 1 300); do printf '{"id":%d,"method":"GetMode","args":["%0999d"]}\n' "$i" "$i"; done; } )
out=$("$vexa" shell --url https://refused.example/ --answer no <<< '{"id":1000,"method":"Open","args":["p"]}'"
$calls" | tail -1 | results)
expect "GetMode still answers" "$out" ""
grown=$(( $(stat -c %s "$host_log") - before ))
(( grown <= 65536 + 200 )) || fail "a refused page wrote $grown bytes"
expect "limit noted once" "$(grep -c "Log limit of 65536 bytes reached; further records are dropped" "$host_log")" "1"

# An empty LOGFILE names no log; the tool says so instead of a path.
printf 'LOGFILE=\n' >> "$config"
grep -q "but there is no log file: LOGFILE is empty in $config." <<< "$(run on)" || fail "on without a file: $(run on)"
expect "show without a file" "$(run show)" "No log (no log file: LOGFILE is empty in $config).
[0]"
sed -i '/^LOGFILE=$/d' "$config"

grep -q "The log is off" <<< "$(run off)" || fail "off"
expect "off written" "$(cat "$config")" $'LOGLEVEL=OFF\nINTERFACE=PCSC'
out=$("$vexa" shell <<< '{"id":1,"method":"GetMode","args":["LOGLEVEL"]}' | results)
expect "plug-in reads OFF" "$out" "OFF"

# A protocol directory named in the registry holds the configuration.
mkdir -p "$meridan/VEXA" "$work/protocol"
printf 'ProtocolDir=%s\n' "$work/protocol" > "$meridan/VEXA/registry.conf"
grep -q "($work/protocol/vexa_ie.conf)" <<< "$(run on TRACE)" || fail "protocol directory: $(run on TRACE)"
expect "protocol directory file" "$(cat "$work/protocol/vexa_ie.conf")" "LOGLEVEL=TRACE"
# A full disk: a record the disk cannot take is left out whole, never half a
# line that the next record runs into, and once there is room again one line
# says how many were lost and why. The disk is a small tmpfs in a mount
# namespace of the test's own.
full_disk() {
    set -euo pipefail
    local vexa=$1 full=$2 answer i
    mount -t tmpfs -o size=64k,mode=0700 vexa-full "$full"
    export XDG_CONFIG_HOME="$full"
    mkdir -p "$full/MERIDAN"
    printf 'LOGLEVEL=INFO\n' > "$full/MERIDAN/vexa_ie.conf"
    coproc plugin { "$vexa" shell; }
    call() {
        printf '{"id":1,"method":"SetMode","args":["%s","x"]}\n' "$1" >&"${plugin[1]}"
        read -r answer <&"${plugin[0]}"
    }
    call A0
    dd if=/dev/zero of="$full/filler" bs=1k 2>/dev/null || true
    for i in $(seq 1 80); do call "F$i"; done
    rm "$full/filler"
    for i in 1 2 3; do call "B$i"; done
    exec {plugin[1]}>&-
    wait "$plugin_PID"
    cat "$full/MERIDAN/vexa_ie.log"
}
if [[ $(id -u) != 0 ]] || ! unshare --mount true 2>/dev/null; then
    echo "full-disk case skipped: it mounts a tmpfs in a mount namespace of its own, which needs root"
else
    mkdir "$work/full"
    full_log=$(unshare --mount bash -c "$(declare -f full_disk); full_disk \"\$@\"" - "$vexa" "$work/full")
    bad=$(grep -Ev '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [A-Z ]{7} .* $' <<< "$full_log" || true)
    [[ -z "$bad" ]] || fail "broken log lines on a full disk: $bad"
    dropped=$(grep -E "LOG     Dropped [0-9]+ log records? that could not be written: No space left on device $" <<< "$full_log" || true)
    expect "one dropped line" "$(grep -c . <<< "$dropped")" "1"
    count=$(sed -E 's/.*Dropped ([0-9]+) .*/\1/' <<< "$dropped")
    written=$(grep -c "Unknown parameter: 'F[0-9]*' $" <<< "$full_log")
    (( count > 0 )) || fail "no record was dropped: the disk did not fill"
    expect "every record written or counted" "$(( written + count ))" "80"
    expect "dropped line before the next record" "$(grep -A1 "Dropped" <<< "$full_log" | tail -1 | grep -o "'B1'")" "'B1'"
    grep -q "Unknown parameter: 'B3' $" <<< "$full_log" || fail "logging did not resume"
fi
echo "log_test passed"
