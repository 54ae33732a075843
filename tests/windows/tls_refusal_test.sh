#!/usr/bin/env bash
# vexa.exe refuses a TLS server entry where Windows offers no TLS 1.3 (as
# Wine's Schannel does not), so a server named in REMOTE_PCSC_TLS_SERVER is
# never reached, not even in plain. Against a real TLS vexa-rpcscd of the
# Linux build, with this user's certificate, key and CA in place: the reader
# list and a connect to one of its readers answer 992402 (no server), the log
# holds the one line naming the reason, and the server saw no connection at
# all, while a plain server listed beside it is still used. The user's
# fingerprint line is openssl's, read through the system's certificate
# library.
#
#   tests/windows/tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Uses $WINEPREFIX when set, else a prefix of its own; exit 77 without wine.
set -uo pipefail
WIN=$(cd "${1:?usage: tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
LINUX=$(cd "${2:?usage: tls_refusal_test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
for tool in wine wineboot wineserver winepath python3 openssl; do
    command -v "$tool" >/dev/null || { echo "tls_refusal_test: skipped, $tool is not installed"; exit 77; }
done
server=$LINUX/server/vexa-rpcscd
for f in "$WIN/tools/vexa.exe" "$server"; do
    [[ -x "$f" ]] || { echo "tls_refusal_test: $f missing: build both trees first" >&2; exit 1; }
done

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
server_pids=()
cleanup() {
    local pid
    for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    # The prefix may be the caller's: no settings of this test stay in it.
    [[ -n "${home:-}" ]] && rm -rf "$home"
    wine_prefix_end
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix tls_refusal_test "$work"
appdata=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')" 2>/dev/null)
[[ -n "$appdata" ]] || { echo "tls_refusal_test: no APPDATA in the prefix" >&2; exit 1; }
home=$appdata/MERIDAN
log=$home/vexa_ie.log

fail() {
    echo "FAIL: $*"
    echo "--- vexa.exe log:"; tail -20 "$log" 2>/dev/null
    local name
    for name in tls plain; do echo "--- $name server log:"; tail -20 "$work/$name.log" 2>/dev/null; done
    exit 1
}
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }

# start_server NAME ARGS...: a Linux vexa-rpcscd on a free port, logging to
# $work/NAME.log; sets port.
start_server() {
    local name=$1
    shift
    "$server" --port 0 "$@" >"$work/$name.log" 2>&1 &
    server_pids+=($!)
    port=
    for _ in $(seq 300); do
        port=$(sed -n 's/.*Listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/$name.log")
        [[ -n "$port" ]] && return
        kill -0 "${server_pids[-1]}" 2>/dev/null || fail "vexa-rpcscd ($name) ended"
        sleep 0.1
    done
    fail "vexa-rpcscd ($name) does not listen"
}
# shell_calls CALL...: one vexa.exe shell for the bank's page, the calls
# (method:args-json) in order; sets result to the results, one a line.
shell_calls() {
    local call id=0 lines=
    for call; do lines+=$(printf '{"id":%d,"method":"%s","args":%s}' $((++id)) "${call%%:*}" "${call#*:}")$'\n'; done
    result=$(printf '%s' "$lines" | (cd "$work" && wine "$WIN/tools/vexa.exe" shell --url https://bank.example/x \
        --answer yes) | tr -d '\r' | python3 -c 'import json,sys; [print(json.loads(l).get("result")) for l in sys.stdin]')
}
connections() { grep -c "INFO  Connection from" "$work/$1.log"; }

# A CA, the server's certificate for 127.0.0.1 and this user's, as an
# administrator makes them; the user's files where VEXA looks by default.
certs=$work/certs
"$server" certs init "$certs" --address 127.0.0.1 >/dev/null 2>&1 || fail "certs init"
"$server" certs client "$certs" alice >"$work/clients" 2>/dev/null || fail "certs client"
start_server tls --tls-cert "$certs/server-127.0.0.1.pem" --tls-key "$certs/server-127.0.0.1.key" \
    --tls-client-ca "$certs/ca.pem" --tls-clients "$work/clients"
tls=127.0.0.1:$port
start_server plain
plain=127.0.0.1:$port

rm -rf "$home"
mkdir -p "$home/remote-pcsc"
cp "$certs/ca.pem" "$home/remote-pcsc/ca.pem"
cp "$certs/alice.pem" "$home/remote-pcsc/client.pem"
cp "$certs/alice.key" "$home/remote-pcsc/client.key"
# configure SERVERS: REMOTE_PCSC with these servers, the TLS server's as TLS.
configure() {
    printf 'LOGLEVEL=DEBUG\r\nINTERFACE=REMOTE_PCSC\r\nREMOTE_PCSC_SERVER=%s\r\nREMOTE_PCSC_TLS_SERVER=%s\r\n' \
        "$1" "$tls" >"$home/vexa_ie.conf"
    rm -f "$log"
}
refusal="ERROR   TLS to remote PC/SC servers unusable: this Windows offers no TLS 1.3 (Windows 11 or Windows \
Server 2022 onwards). Not connecting to $tls."

configure "$tls"
shell_calls 'Open:["p"]' 'GetReaderList:[]' 'GetLastErrorCode:[]' "ConnectCard:[\"$tls:Virtual PCD 00 00\", 2]"
expect "answers (Open, reader list, its code, connect)" "$result" $'0\n\n992402\n992402'
expect "refusal lines" "$(grep -cF "$refusal" "$log")" "1"
expect "connections to the TLS server" "$(connections tls)" "0"
# The fingerprint line for the server's clients file, as openssl gives it;
# a file without a certificate is named.
fingerprint() {
    status=0
    out=$(cd "$work" && wine "$WIN/tools/vexa.exe" remote-pcsc fingerprint 2>&1 | tr -d '\r') || status=$?
}
fingerprint
expect "fingerprint status" "$status" "0"
expect "fingerprint" "$out" "$(openssl x509 -noout -fingerprint -sha256 -in "$certs/alice.pem")"
cp "$certs/alice.key" "$home/remote-pcsc/client.pem"
fingerprint
expect "fingerprint of a key" "$out" "vexa remote-pcsc: $(wine winepath -w "$home/remote-pcsc/client.pem" 2>/dev/null |
    tr -d '\r') holds no certificate: no PEM certificate"
cp "$certs/alice.pem" "$home/remote-pcsc/client.pem"

# The refusal is the TLS entry's alone: a plain server beside it is asked.
configure "$plain $tls"
shell_calls 'Open:["p"]' 'GetReaderList:[]'
expect "refusal lines beside a plain server" "$(grep -cF "$refusal" "$log")" "1"
(($(connections plain) > 0)) || fail "the plain server was not asked for its readers"
expect "connections to the TLS server" "$(connections tls)" "0"
echo "tls_refusal_test passed"
