#!/usr/bin/env bash
# vexa.exe refuses a TLS server entry: the Windows build has no TLS client, so
# a server named in REMOTE_PCSC_TLS_SERVER is never reached, not even in
# plain. Against a real TLS vexa-rpcscd of the Linux build, with this user's
# certificate, key and CA in place: the reader list answers 992402 (no
# server), the log holds the one line naming the reason, and the server saw
# no connection at all.
#
#   tests/windows/tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Uses $WINEPREFIX when set, else a prefix of its own; exit 77 without wine.
set -uo pipefail
WIN=$(cd "${1:?usage: tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
LINUX=$(cd "${2:?usage: tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
for tool in wine wineboot wineserver winepath python3; do
    command -v "$tool" >/dev/null || { echo "tls_refusal_test: skipped, $tool is not installed"; exit 77; }
done
server=$LINUX/server/vexa-rpcscd
for f in "$WIN/tools/vexa.exe" "$server"; do
    [[ -x "$f" ]] || { echo "tls_refusal_test: $f missing: build both trees first" >&2; exit 1; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [[ -n "${own_prefix:-}" ]] && wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
if [[ -z "${WINEPREFIX:-}" ]]; then
    export WINEPREFIX=$work/wine own_prefix=1
    wineboot -i >/dev/null 2>&1 || { echo "tls_refusal_test: wineboot failed" >&2; exit 1; }
    wineserver -p </dev/null >/dev/null 2>&1
fi
export WINEDEBUG=-all
appdata=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')" 2>/dev/null)
[[ -n "$appdata" ]] || { echo "tls_refusal_test: no APPDATA in the prefix" >&2; exit 1; }
home=$appdata/MERIDAN
log=$home/vexa_ie.log

fail() {
    echo "FAIL: $*"
    echo "--- vexa.exe log:"; tail -20 "$log" 2>/dev/null
    echo "--- server log:"; tail -20 "$work/server.log"
    exit 1
}
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }

# A CA, the server's certificate for 127.0.0.1 and this user's, as an
# administrator makes them; the user's files where VEXA looks by default.
certs=$work/certs
"$server" certs init "$certs" --address 127.0.0.1 >/dev/null 2>&1 || fail "certs init"
"$server" certs client "$certs" alice >"$work/clients" 2>/dev/null || fail "certs client"
"$server" --port 0 --tls-cert "$certs/server-127.0.0.1.pem" --tls-key "$certs/server-127.0.0.1.key" \
    --tls-client-ca "$certs/ca.pem" --tls-clients "$work/clients" >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 300); do
    port=$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/server.log")
    [[ -n "$port" ]] && break
    kill -0 "$server_pid" 2>/dev/null || fail "vexa-rpcscd ended"
    sleep 0.1
done
[[ -n "$port" ]] || fail "vexa-rpcscd does not listen"

rm -rf "$home"
mkdir -p "$home/remote-pcsc"
cp "$certs/ca.pem" "$home/remote-pcsc/ca.pem"
cp "$certs/alice.pem" "$home/remote-pcsc/client.pem"
cp "$certs/alice.key" "$home/remote-pcsc/client.key"
printf 'LOGLEVEL=DEBUG\r\nINTERFACE=REMOTE_PCSC\r\nREMOTE_PCSC_SERVER=127.0.0.1:%s\r\nREMOTE_PCSC_TLS_SERVER=127.0.0.1:%s\r\n' \
    "$port" "$port" >"$home/vexa_ie.conf"

# One shell, three calls; each answer line in order.
answers=$(printf '%s\n' '{"id":1,"method":"Open","args":["p"]}' \
    '{"id":2,"method":"GetReaderList","args":[]}' \
    '{"id":3,"method":"GetLastErrorCode","args":[]}' |
    (cd "$work" && wine "$WIN/tools/vexa.exe" shell --url https://bank.example/x --answer yes) | tr -d '\r')
result() { sed -n "${1}p" <<<"$answers" | python3 -c 'import json,sys; print(json.load(sys.stdin).get("result"))'; }
expect "Open" "$(result 1)" "0"
expect "reader list" "$(result 2)" ""
expect "no server" "$(result 3)" "992402"

[[ -s "$log" ]] || fail "no log at $log"
refusals=$(grep -c "TLS_REFUSAL_TEXT" "$log")
expect "refusal lines" "$refusals" "1"
grep -q "Connection from" "$work/server.log" && fail "vexa.exe reached the TLS server"
echo "tls_refusal_test passed"
