#!/usr/bin/env bash
# vexa-rpcscd.exe under Wine serves cards to the Linux build: its PC/SC calls
# go through the test bed's winscard stand-in to the test bed's pcscd, and the
# Linux `vexa` reaches it over REMOTE_PCSC (readers, a card connected and
# spoken to, its removal seen through the status answer's card state).
#
#   tests/windows/server_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Needs the test bed (VEXA_TESTBED_DIR); exit 77 without it or without wine.
# Uses $WINEPREFIX when set, else a prefix of its own.
set -uo pipefail
WIN=$(cd "${1:?usage: server_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd)
LINUX=$(cd "${2:?usage: server_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd)
command -v wine >/dev/null || { echo "server_test: skipped, wine is not installed"; exit 77; }
dir=${VEXA_TESTBED_DIR:-}
if [ -z "$dir" ] || [ ! -s "$dir/rpcscd.address" ]; then
    [ -n "${VEXA_TESTBED_REQUIRED:-}" ] && { echo "FAIL: no test bed in '$dir'"; exit 1; }
    echo "server_test: skipped, no test bed"; exit 77
fi
card=$LINUX/testbed/vexa-card
source "$(dirname "$0")/../../testbed/common.sh"
vexa_use_testbed "$dir"

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    wine_prefix_end
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix server_test "$work"
fail() { echo "FAIL: $*"; echo "--- server log:"; tail -20 "$work/server.log"; exit 1; }
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }

# Wine finds the stand-in only beside the program.
mkdir -p "$work/bin" "$work/home/.config/MERIDAN" "$work/cwd"
cp "$WIN/server/vexa-rpcscd.exe" "$WIN/testbed/windows/winscard.dll" "$work/bin/"
WINEDLLOVERRIDES=winscard=n VEXA_WINSCARD_SERVER=$(cat "$dir/rpcscd.address") \
    wine "$work/bin/vexa-rpcscd.exe" --port 0 >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 300); do
    port=$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/server.log")
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || fail "vexa-rpcscd.exe ended"
    sleep 0.1
done
[ -n "$port" ] || fail "vexa-rpcscd.exe does not listen"
server=127.0.0.1:$port

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
unset APPDATA USERPROFILE windir
printf 'INTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=%s\n' "$server" >"$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf"
for s in card0 card1; do "$card" ctl "$dir/$s.sock" reset >/dev/null; "$card" ctl "$dir/$s.sock" insert >/dev/null; done
"$card" wait "Virtual PCD 00 00" present 5000 >/dev/null || fail "card 0 not present"

readers=$(cd "$work/cwd" && "$LINUX/tools/vexa" readers) || fail "vexa readers: $readers"
grep -qF "$server:Virtual PCD 00 00: card present" <<<"$readers" || fail "readers: $readers"
grep -qF "$server:Virtual PCD 00 01: card present" <<<"$readers" || fail "readers: $readers"

coproc SHELL { cd "$work/cwd" && exec "$LINUX/tools/vexa" shell --url https://bank.example/x --answer yes; }
# Bash forgets SHELL_PID once the shell has ended.
shell_pid=$SHELL_PID
call() {
    printf '{"id":1,"method":"%s","args":%s}\n' "$1" "$2" >&"${SHELL[1]}"
    local line
    IFS= read -r line <&"${SHELL[0]}" || fail "shell ended at $1"
    python3 -c 'import json,sys; a=json.loads(sys.argv[1]); print(a.get("result", "error: " + str(a.get("error"))))' "$line"
}
expect "Open" "$(call Open '["p"]')" "0"
expect "connect" "$(call ConnectCard "[\"$server:Virtual PCD 00 00\", 2]")" "0"
expect "echo" "$(call SendToCard '["80 EE 00 00 03 01 02 03"]')" "01 02 03 90 00"
expect "card present" "$(call IsCardRemoved '[]')" "0"
"$card" ctl "$dir/card0.sock" remove >/dev/null
"$card" wait "Virtual PCD 00 00" empty 5000 >/dev/null || fail "card 0 not removed"
expect "card removed" "$(call IsCardRemoved '[]')" "992315"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
eval "exec ${SHELL[1]}>&-"
wait "$shell_pid" || fail "shell exit status $?"
"$card" ctl "$dir/card0.sock" insert >/dev/null
echo "server_test passed"
