#!/usr/bin/env bash
# A server's command batch end to end: `vexa request build` writes the
# enciphered request, the real `vexa shell` runs it with ExecuteRequest on the
# test bed's card, and `vexa request read` shows every command's result.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
R1="Virtual PCD 00 01"
printf 'LOGLEVEL=DEBUG\n' > "$config"

# The tool refuses what it cannot build, naming the fault.
out=$("$vexa" request build 80EE00 0G 2>&1 | text) && fail "a bad APDU was taken"
expect "bad APDU" "$out" "vexa request build: 0G: not an APDU in hex
Try 'vexa request build --help'."
out=$("$vexa" request build --proces 1 80EE000001AA 2>&1 | text) && fail "a typo was taken"
expect "typo" "$out" "vexa request build: --proces: unknown option
Try 'vexa request build --help'."
out=$("$vexa" request read 0011 2>&1 | text) && fail "garbage was read"
expect "garbage" "$out" "vexa request read: the text cannot be deciphered"

c1 reset
c1 insert
"$card" wait "$R1" present 5000 || fail "card 1 not present"
c1 aid A0000000010001
c1 answer 80CA000000 6A82

request=$("$vexa" request build --client BANK --transaction "Überweisung 7" --process 42 \
    "00 A4 04 00 07 A0 00 00 00 01 00 01" 80EE000003010203 80CA000000 80EE000001AA | text)
start_shell
expect "Open" "$(call Open '["p"]')" "0"
expect "ConnectCard" "$(call ConnectCard "[\"$R1\", 2]")" "0"
response=$(call ExecuteRequest "[\"$request\", 1, 0]")
expect "ExecuteRequest's own code" "$(call GetLastErrorCode '[]')" "0"
stop_shell
expect "response" "$("$vexa" request read "$response" | text)" \
    '{"header":{"version":20,"functionId":9,"processId":42,"clientId":"BANK","transactionId":"Überweisung 7","errorCode":0},"cardRemoved":false,"results":[{"answer":"90 00","code":36864,"text":""},{"answer":"01 02 03 90 00","code":36864,"text":""},{"answer":"6a 82","code":27266,"text":""}]}'
logged "ExecuteRequest processed"
logged "transaction id on server is "
no_card_failures
echo "request_shell_test passed"
