#!/usr/bin/env bash
# The remote interface end to end: the real `vexa shell`, configured for
# REMOTE_PCSC with the test bed's vexa-rpcscd as server, lists, searches,
# connects and exchanges APDUs with the virtual cards behind that server.
set -euo pipefail
vexa=${1:?usage: remote_shell_test.sh <vexa> <vexa-card>}
card=${2:?usage: remote_shell_test.sh <vexa> <vexa-card>}

dir=${VEXA_TESTBED_DIR:-}
if [[ -z "$dir" ]] || ! "$card" ctl "$dir/card0.sock" status >/dev/null 2>&1 || [[ ! -s "$dir/rpcscd.address" ]]; then
    [[ -n "${VEXA_TESTBED_REQUIRED:-}" ]] && { echo "FAIL: no test bed with vexa-rpcscd in '$dir'"; exit 1; }
    echo "SKIP: no test bed (testbed/start_testbed.sh starts one)"; exit 77
fi
server=$(cat "$dir/rpcscd.address")
R0="$server:Virtual PCD 00 00"
R1="$server:Virtual PCD 00 01"

work=$(mktemp -d)
shell_pid=
cleanup() {
    [[ -n "${shell_pid:-}" ]] && kill "$shell_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
unset APPDATA USERPROFILE windir
mkdir -p "$XDG_CONFIG_HOME/MERIDAN" "$work/cwd"
# Only the configuration file selects the remote interface and its servers;
# the first server is one where nobody listens.
printf 'LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=127.0.0.1:1 %s\n' "$server" \
    > "$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf"
log="$work/cwd/vexa_ie.log"
fail() { echo "FAIL: $*"; echo "--- log:"; tail -40 "$log" 2>/dev/null; exit 1; }
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
logged() { grep -qF -- "$1" "$log" || fail "log line missing: $1"; }

for s in card0 card1; do "$card" ctl "$dir/$s.sock" reset >/dev/null; "$card" ctl "$dir/$s.sock" insert >/dev/null; done
"$card" wait "Virtual PCD 00 00" present 5000 && "$card" wait "Virtual PCD 00 01" present 5000 || fail "cards not present"
"$card" ctl "$dir/card1.sock" aid D2760000850101 >/dev/null

coproc SHELL { cd "$work/cwd" && exec "$vexa" shell --url https://bank.example/x --answer yes; }
shell_pid=$SHELL_PID
call() {
    printf '{"id":1,"method":"%s","args":%s}\n' "$1" "$2" >&"${SHELL[1]}"
    local line
    IFS= read -r line <&"${SHELL[0]}" || fail "shell ended at $1"
    python3 -c 'import json,sys; a=json.loads(sys.argv[1]); print(a.get("result", "error: " + str(a.get("error"))))' "$line"
}

expect "Open" "$(call Open '["p"]')" "0"
expect "interface" "$(call GetMode '["INTERFACE"]')" "REMOTE_PCSC"
expect "SetMode cannot choose it" "$(call SetMode '["INTERFACE", "REMOTE_PCSC"]')" "992202"
expect "reader list" "$(call GetReaderList '[]')" "$R0"$'\r'$'\n'"$R1"
logged "Cannot connect remote PS/SC server 127.0.0.1:1 but other server(s) reached."
logged "Reader 1: remote PC/SC reader found: $R1"

expect "search" "$(call SearchCard '["D2 76 00 00 85 01 01", ""]')" "$R1"
expect "echo in the found card" "$(call SendToCard '["80 EE 00 00 03 01 02 03 "]')" "01 02 03 90 00"
expect "disconnect" "$(call DisConnectCard '[]')" "0"

expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
logged "Card connected in remote PC/SC reader $R0"
expect "echo" "$(call SendToCard '["80 EE 00 00 02 0A 0B"]')" "0a 0b 90 00"
logged "APDU response (4 bytes): 0a 0b 90 00"
expect "card present" "$(call IsCardRemoved '[]')" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
logged "Disconnect remote PC/SC reader $R0"
expect "not connected" "$(call SendToCard '["80 EE 00 00 01 01"]')" ""
expect "not connected code" "$(call GetLastErrorCode '[]')" "992314"

expect "unknown server" "$(call ConnectCard '["127.0.0.1:1:Virtual PCD 00 00", 2]')" "10061"
logged "Cannot connect remote PC/SC server 127.0.0.1:1 (return code 10061: "
expect "bad name" "$(call ConnectCard '["Virtual PCD 00 00", 2]')" "992401"

for s in card0 card1; do
    f=$("$card" ctl "$dir/$s.sock" failures)
    [[ "$f" == "ok 0" ]] || fail "$s saw unexpected commands: $f"
done
echo "PASS"
