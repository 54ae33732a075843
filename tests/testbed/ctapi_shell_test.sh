#!/usr/bin/env bash
# CT-API end to end: the real `vexa shell` with interface type CTAPI from the
# configuration file, the test bed's HBCIKRNL.INI naming libvexa-ctapi.so,
# and the driver on pcscd's virtual readers.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@" HBCIKRNL.INI
T0=VEXA_CT_0
T1=VEXA_CT_1
# windir is where HBCIKRNL.INI is looked for, and also the config home. A
# runner's system (Wine) has its own windir, holding an HBCIKRNL.INI that
# names its own driver, and its own config home.
if [[ -z "${VEXA_RUNNER:-}" ]]; then
    export windir="$work/windows"
    unset XDG_CONFIG_HOME
    config="$windir/MERIDAN/vexa_ie.conf"
    log="$windir/MERIDAN/vexa_ie.log"
    mkdir -p "$windir/MERIDAN"
    cp "$dir/HBCIKRNL.INI" "$windir/"
fi
printf 'LOGLEVEL=DEBUG\r\nINTERFACE=CTAPI\r\n' > "$config"

for c in c0 c1; do $c reset; $c insert; done
"$card" wait "Virtual PCD 00 00" present 5000 && "$card" wait "Virtual PCD 00 01" present 5000 ||
    fail "cards not present"
c1 aid D2760000850101

start_shell

expect "Open" "$(call Open '["p"]')" "0"
expect "interface" "$(call GetMode '["INTERFACE"]')" "CTAPI"
logged "using interface type CTAPI"

expect "reader list" "$(call GetReaderList '[]')" "$T0"$'\r'$'\n'"$T1"
logged "INFO    Reader 0: CTAPI reader found: $T0"
logged "INFO    Reader 1: CTAPI reader found: $T1"
logged "DEBUG   GetReaderList returns 2 readers"

expect "search" "$(call SearchCard '["D2 76 00 00 85 01 01", ""]')" "$T1"
logged "DEBUG   Card connected in CTAPI reader $T1"
logged "DEBUG   ATR: 3b 88 80 01 56 45 58 41 43 41 52 44 17"
logged "DEBUG   SearchCard found card in reader $T1"
expect "echo" "$(call SendToCard '["80 EE 00 00 03 01 02 03"]')" "01 02 03 90 00"
logged "DEBUG   APDU response (5 bytes): 01 02 03 90 00"
# PINs stay out of the log over CT-API too: a VERIFY inside an ENVELOPE, at TRACE.
expect "trace" "$(call SetMode '["LOGLEVEL", "TRACE"]')" "0"
c1 answer 00C2000009* 9000
expect "envelope" "$(call SendToCard '["00 C2 00 00 09 00 20 00 81 04 31 39 37 33"]')" "90 00"
logged "APDU command (14 bytes): 00 c2 00 00 09 ** ** ** ** ** ** ** ** **"
grep -q "31 39 37 33" "$log" && fail "PIN in the log"
answer=$(call SendToCard '["80 E0 01 00"]')
expect "258-byte answer" "$(wc -w <<< "$answer")" "258"
expect "ATR" "$(call GetCardATR "[\"$T1\"]")" "3B 88 80 01 56 45 58 41 43 41 52 44 17 "
expect "no reader control" "$(call SendIOCTL '[3400, 0, ""]')" ""
expect "no reader control code" "$(call GetLastErrorCode '[]')" "992308"
expect "present" "$(call IsCardRemoved '[]')" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"
logged "DEBUG   Disconnect CTAPI reader $T1"

expect "connect" "$(call ConnectCard "[\"$T0\", 2]")" "0"
logged "DEBUG   Card connected in CTAPI reader $T0"
expect "still there" "$(call IsCardRemoved '[]')" "0"
c0 remove
"$card" wait "Virtual PCD 00 00" empty 5000 || fail "card 0 not removed"
expect "removed" "$(call IsCardRemoved '[]')" "992315"
logged "DEBUG   Card has been removed"
expect "send to the removed card" "$(call SendToCard '["80 EE 00 00"]')" ""
logged "ERROR   Return code 0xfffffff6 from CTAPI execute"
expect "disconnect removed" "$(call DisConnectCard '[]')" "0"
expect "idle" "$(call IsCardRemoved '[]')" "992314"
c0 insert
"$card" wait "Virtual PCD 00 00" present 5000 || fail "card 0 not back"
expect "connect again" "$(call ConnectCard "[\"$T0\", 2]")" "0"
expect "echo again" "$(call SendToCard '["80 EE 00 00 01 AA"]')" "aa 90 00"
expect "disconnect again" "$(call DisConnectCard '[]')" "0"

stop_shell
no_card_failures
echo "ctapi_shell_test passed"
