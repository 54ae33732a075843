#!/usr/bin/env bash
# Two `vexa shell`s on one card: the first begins a transaction and falls
# silent; its shell ends the transaction with a card reset once it has been
# idle, so the second shell's ConnectCard, which pcsc-lite holds back behind
# the transaction, goes on, and so do its later calls.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
R0="Virtual PCD 00 00"
RESET_CARD=-2146434968
printf 'LOGLEVEL=INFO\n' > "$config"
c0 reset; c0 insert
"$card" wait "$R0" present 5000 || fail "card not present"

start_shell
expect "Open" "$(call Open '["holder"]')" "0"
expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
expect "begin" "$(call BeginTransaction '[]')" "0"

# The second shell: its ConnectCard waits for the transaction, GetVersion
# behind it. Without the idle end it would wait as long as the first shell
# lives, so a bound far above the idle limit tells the two apart.
mkdir -p "$work/other"
other=$(cd "$work/other" && printf '%s\n' \
    '{"id":1,"method":"Open","args":["other"]}' \
    "{\"id\":2,\"method\":\"ConnectCard\",\"args\":[\"$R0\",2]}" \
    '{"id":3,"method":"GetVersion","args":[0]}' \
    '{"id":4,"method":"SendToCard","args":["80 EE 00 00 01 07"]}' |
    timeout 30 "$vexa" shell --url https://bank.example/x --answer yes) || fail "second shell: status $?"
expect "second shell" "$other" '{"id":1,"result":0}
{"id":2,"result":0}
{"id":3,"result":"2.0.0.2"}
{"id":4,"result":"07 90 00"}'

logged "INFO    Transaction on PC/SC reader $R0 without a card call for 5 s: ended with a card reset"
expect "the holder's card was reset" "$(call SendToCard '["80 EE 00 00 01 07"]')" ""
expect "reset code" "$(call GetLastErrorCode '[]')" "$RESET_CARD"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
expect "connect again" "$(call ConnectCard "[\"$R0\", 2]")" "0"
expect "the card answers again" "$(call SendToCard '["80 EE 00 00 01 07"]')" "07 90 00"
stop_shell
no_card_failures
echo "PASS"
