#!/usr/bin/env bash
# A server's command batch end to end: `vexa request build` writes the
# enciphered request, the real `vexa shell` runs it with ExecuteRequest on the
# test bed's card, and `vexa request read` shows every command's result.
set -euo pipefail
vexa=${1:?usage: request_shell_test.sh <vexa> <vexa-card>}
card=${2:?usage: request_shell_test.sh <vexa> <vexa-card>}
R1="Virtual PCD 00 01"

dir=${VEXA_TESTBED_DIR:-}
if [[ -z "$dir" ]] || ! "$card" ctl "$dir/card1.sock" status >/dev/null 2>&1; then
    [[ -n "${VEXA_TESTBED_REQUIRED:-}" ]] && { echo "FAIL: no test bed in '$dir'"; exit 1; }
    echo "SKIP: no test bed (testbed/start_testbed.sh starts one)"; exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
unset APPDATA USERPROFILE windir
mkdir -p "$XDG_CONFIG_HOME/MERIDAN" "$work/cwd"
printf 'LOGLEVEL=DEBUG\n' > "$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf"
fail() { echo "FAIL: $*"; tail -30 "$work/cwd/vexa_ie.log" 2>/dev/null; exit 1; }
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
c1() { "$card" ctl "$dir/card1.sock" "$@" >/dev/null; }

# The tool refuses what it cannot build, naming the fault.
out=$("$vexa" request build 80EE00 0G 2>&1) && fail "a bad APDU was taken"
expect "bad APDU" "$out" "vexa request: '0G' is no APDU in hex"
out=$("$vexa" request build --proces 1 80EE000001AA 2>&1) && fail "a typo was taken"
expect "typo" "$out" "vexa request: unknown option '--proces'"
out=$("$vexa" request read 0011 2>&1) && fail "garbage was read"
expect "garbage" "$out" "vexa request: the text cannot be deciphered"

c1 reset
c1 insert
"$card" wait "$R1" present 5000 || fail "card 1 not present"
c1 aid A0000000010001
c1 answer 80CA000000 6A82

request=$("$vexa" request build --client BANK --transaction "Überweisung 7" --process 42 \
    "00 A4 04 00 07 A0 00 00 00 01 00 01" 80EE000003010203 80CA000000 80EE000001AA)
# shell CALLS...: the results of the calls, one per line
shell() {
    printf '%s\n' "$@" | (cd "$work/cwd" && "$vexa" shell --url https://bank.example/pay --answer yes) |
        python3 -c 'import json,sys
for line in sys.stdin: print(json.loads(line).get("result"))'
}
mapfile -t out < <(shell '{"id":1,"method":"Open","args":["p"]}' \
    "{\"id\":2,\"method\":\"ConnectCard\",\"args\":[\"$R1\",2]}" \
    "{\"id\":3,\"method\":\"ExecuteRequest\",\"args\":[\"$request\",1,0]}" \
    '{"id":4,"method":"GetLastErrorCode","args":[]}')
expect "Open, ConnectCard" "${out[0]} ${out[1]}" "0 0"
expect "ExecuteRequest's own code" "${out[3]}" "0"
expect "response" "$("$vexa" request read "${out[2]}")" \
    '{"header":{"version":20,"functionId":9,"processId":42,"clientId":"BANK","transactionId":"Überweisung 7","errorCode":0},"cardRemoved":false,"results":[{"answer":"90 00","code":36864,"text":""},{"answer":"01 02 03 90 00","code":36864,"text":""},{"answer":"6a 82","code":27266,"text":""}]}'
grep -qF "ExecuteRequest processed" "$work/cwd/vexa_ie.log" || fail "no 'ExecuteRequest processed' line"
grep -qF "transaction id on server is " "$work/cwd/vexa_ie.log" || fail "no transaction line"
expect "card 1 failures" "$("$card" ctl "$dir/card1.sock" failures)" "ok 0"
echo "request_shell_test passed"
