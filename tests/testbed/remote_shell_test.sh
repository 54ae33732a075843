#!/usr/bin/env bash
# The remote interface end to end: the real `vexa shell`, configured for
# REMOTE_PCSC with the test bed's vexa-rpcscd as server, lists, searches,
# connects and exchanges APDUs with the virtual cards behind that server.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@" rpcscd.address
server=$(cat "$dir/rpcscd.address")
R0="$server:Virtual PCD 00 00"
R1="$server:Virtual PCD 00 01"
# Only the configuration file selects the remote interface and its servers;
# the first server is one where nobody listens.
printf 'LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=127.0.0.1:1 %s\n' "$server" > "$config"

for c in c0 c1; do $c reset; $c insert; done
"$card" wait "Virtual PCD 00 00" present 5000 && "$card" wait "Virtual PCD 00 01" present 5000 || fail "cards not present"
c1 aid D2760000850101

start_shell

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
# PINs stay out of the log over the remote interface too, at TRACE as at DEBUG.
expect "trace" "$(call SetMode '["LOGLEVEL", "TRACE"]')" "0"
c0 answer 0025000006* 9000
expect "change PIN, odd INS" "$(call SendToCard '["00 25 00 00 06 81 04 37 34 31 39"]')" "90 00"
logged "APDU command (11 bytes): 00 25 00 00 06 ** ** ** ** ** **"
c0 answer 00C2000009* 9000
expect "envelope" "$(call SendToCard '["00 C2 00 00 09 00 20 00 81 04 38 32 35 30"]')" "90 00"
logged "APDU command (14 bytes): 00 c2 00 00 09 ** ** ** ** ** ** ** ** **"
grep -qE "37 34 31 39|38 32 35 30" "$log" && fail "PIN in the log"
expect "card present" "$(call IsCardRemoved '[]')" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
logged "Disconnect remote PC/SC reader $R0"
expect "not connected" "$(call SendToCard '["80 EE 00 00 01 01"]')" ""
expect "not connected code" "$(call GetLastErrorCode '[]')" "992314"

expect "unknown server" "$(call ConnectCard '["127.0.0.1:1:Virtual PCD 00 00", 2]')" "10061"
logged "Cannot connect remote PC/SC server 127.0.0.1:1 (return code 10061: "
expect "bad name" "$(call ConnectCard '["Virtual PCD 00 00", 2]')" "992401"

stop_shell
no_card_failures
echo "remote_shell_test passed"
