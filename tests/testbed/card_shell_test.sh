#!/usr/bin/env bash
# The card operations end to end: the real `vexa shell` after Open against the
# test bed's two virtual readers and cards, one call at a time, with the
# cards moved and held between calls.
set -euo pipefail
source "$(dirname "$0")/shell_bed.sh" "$@"
R0="Virtual PCD 00 00"
R1="Virtual PCD 00 01"
SHARING=-2146435061
printf 'LOGLEVEL=DEBUG\n' > "$config"

for c in c0 c1; do $c reset; $c insert; done
"$card" wait "$R0" present 5000 && "$card" wait "$R1" present 5000 || fail "cards not present"
c0 aid A0000000010001
c1 aid D2760000850101
c1 aid A0000000010001

start_shell
hexbytes() { python3 -c 'import sys; print(" ".join(sys.argv[1:]))' "$@"; }

expect "before Open" "$(call GetReaderList '[]')" ""
expect "guard" "$(call GetLastErrorCode '[]')" "992211"
expect "Open" "$(call Open '["p"]')" "0"

# Inventory and search.
expect "reader list" "$(call GetReaderList '[]')" "$R0"$'\r'$'\n'"$R1"
logged "DEBUG   GetReaderList returns 2 readers"
logged "INFO    Reader 1: PC/SC reader found: $R1"
expect "search" "$(call SearchCard '["D2 76 00 00 85 01 01", ""]')" "$R1"
logged "SearchCard for AID 'D2 76 00 00 85 01 01' and AID ''"
logged "SearchCard found card in reader $R1"
expect "search again, card at hand" "$(call SearchCard '["A0 00 00 00 01 00 01", "D2 76 00 00 85 01 01"]')" "$R1"
expect "no such application" "$(call SearchCard '["A0 00 00 00 09", ""]')" ""
expect "no card" "$(call GetLastErrorCode '[]')" "992302"
logged "SearchCard found no card (return code 992302: Keine Karte gefunden)"
expect "first reader first" "$(call SearchCard '["A0 00 00 00 01 00 01", ""]')" "$R0"
expect "preferred reader" "$(call SetMode '["PREFERRED_READER", "Virtual PCD 00 01"]')" "0"
call DisConnectCard '[]' >/dev/null
expect "preferred first" "$(call SearchCard '["A0 00 00 00 01 00 01", ""]')" "$R1"

# APDUs: the 512-byte bound, hex errors, answers.
cmd512=$(python3 -c 'print(" ".join(["80","E2","00","00","00","01","F9"] + ["5A"] * 505))')
expect "512 bytes" "$(call SendToCard "[\"$cmd512\"]")" "02 00 90 00"
logged "APDU command (512 bytes): 80 e2 00 00 00 01 f9 5a"
expect "513 bytes" "$(call SendToCard "[\"$cmd512 5A\"]")" ""
expect "513 code" "$(call GetLastErrorCode '[]')" "992307"
expect "no blanks" "$(call SendToCard '["80EE0000"]')" ""
expect "hex code" "$(call GetLastErrorCode '[]')" "992200"
expect "echo" "$(call SendToCard '["80 EE 00 00 03 01 02 03 "]')" "01 02 03 90 00"
answer=$(call SendToCard '["80 E0 01 00"]')
expect "258-byte answer" "$(wc -w <<< "$answer")" "258"
c1 answer 0020008104* 63C2
expect "verify" "$(call SendToCard '["00 20 00 81 04 39 38 37 36"]')" "63 c2"
logged "APDU command (9 bytes): 00 20 00 81 04 ** ** ** **"
grep -q "39 38 37 36" "$log" && fail "PIN in the log"
expect "ATR" "$(call GetCardATR "[\"$R1\"]")" "3B 88 80 01 56 45 58 41 43 41 52 44 17 "
expect "other reader's ATR" "$(call GetCardATR "[\"$R0\"]")" "3B 88 80 01 56 45 58 41 43 41 52 44 17 "
state=$(call GetCardStatus "[\"$R1\"]")
(( (state & 0x20) != 0 )) || fail "GetCardStatus $state without SCARD_STATE_PRESENT"
expect "status of no reader" "$(call GetCardStatus '["nowhere"]')" "-1"
expect "IOCTL" "$(call SendIOCTL '[3400, 0, ""]')" ""
[[ "$(call GetLastErrorCode '[]')" != 0 ]] || fail "vpcd has no reader control"
call SendIOCTL '[3400, 0, "35 34 33 32 31 30 39 38"]' >/dev/null
logged "Control data: 8 bytes"
c1 answer 0021000004* 9000
expect "verify, odd INS" "$(call SendToCard '["00 21 00 00 04 35 34 33 32"]')" "90 00"
logged "APDU command (9 bytes): 00 21 00 00 04 ** ** ** **"
grep -q "35 34 33 32" "$log" && fail "PIN in the log"
# CHANGE REFERENCE DATA with the odd INS, and an ENVELOPE around a VERIFY.
c1 answer 0025000008* 9000
expect "change PIN, odd INS" "$(call SendToCard '["00 25 00 00 08 81 02 31 30 82 02 32 39"]')" "90 00"
logged "APDU command (13 bytes): 00 25 00 00 08 ** ** ** ** ** ** ** **"
c1 answer 00C3000009* 9000
expect "envelope" "$(call SendToCard '["00 C3 00 00 09 00 20 00 81 04 38 36 38 34"]')" "90 00"
logged "APDU command (14 bytes): 00 c3 00 00 09 ** ** ** ** ** ** ** ** **"
grep -qE "31 30 82 02 32 39|38 36 38 34" "$log" && fail "PIN in the log"

# Transactions (the search left one open).
expect "begin again" "$(call BeginTransaction '[]')" "0"
expect "end, leave the card" "$(call EndTransactionEx '[0]')" "0"
expect "end without" "$(call EndTransaction '[]')" "0"
expect "begin" "$(call BeginTransaction '[]')" "0"
expect "end with reset" "$(call EndTransaction '[]')" "0"
expect "the card was reset" "$(call BeginTransaction '[]')" "-2146434968"
expect "disconnect" "$(call DisConnectCardEx '[0]')" "0"
logged "Disconnect PC/SC reader $R1"
expect "not connected" "$(call SendToCard '["zz"]')" ""
expect "not connected code" "$(call GetLastErrorCode '[]')" "992314"
expect "begin without card" "$(call BeginTransaction '[]')" "992314"

# Removal.
expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
logged "Card connected in PC/SC reader $R0"
expect "present" "$(call IsCardRemoved '[]')" "0"
c0 remove
"$card" wait "$R0" empty 5000 || fail "card 0 not removed"
expect "removed" "$(call IsCardRemoved '[]')" "992315"
logged "DEBUG   Card has been removed"
call DisConnectCard '[]' >/dev/null
expect "idle" "$(call IsCardRemoved '[]')" "992314"
c0 insert
"$card" wait "$R0" present 5000 || fail "card 0 not back"

# An answer without a status word is no answer: one byte from a card still
# there, nothing from a card pulled during the command.
expect "connect" "$(call ConnectCard "[\"$R0\", 2]")" "0"
c0 answer 80CB000000 90
c0 answer 80CC000000 leave 20
expect "one byte" "$(call SendToCard '["80 CB 00 00 00"]')" ""
expect "one byte code" "$(call GetLastErrorCode '[]')" "-2146435053"
logged "ERROR   Return code 0x80100013 from PC/SC execute: answer without status word"
expect "pulled" "$(call SendToCard '["80 CC 00 00 00"]')" ""
expect "pulled code" "$(call GetLastErrorCode '[]')" "-2146434967"
expect "pulled, so removed" "$(call IsCardRemoved '[]')" "992315"
call DisConnectCard '[]' >/dev/null
c0 reset
c0 insert
"$card" wait "$R0" present 5000 || fail "card 0 not back"

# Another process holds card 0 exclusively.
mkfifo "$work/hold.in"
"$card" hold "$R0" < "$work/hold.in" > "$work/hold.out" &
holder_pid=$!
exec {hold_in}> "$work/hold.in"   # the holder keeps the card until this closes
for _ in $(seq 100); do grep -q held "$work/hold.out" && break; sleep 0.05; done
expect "holder" "$(cat "$work/hold.out")" "held"
expect "held elsewhere" "$(call ConnectCard "[\"$R0\", 2]")" "$SHARING"
logged "WARNING SCardConnect () to reader $R0 unsuccessful (return code $SHARING: "
expect "timeout below 0: one try" "$(call ConnectCardEx "[\"$R0\", 2, 3, -5]")" "$SHARING"
start=$(date +%s%N)
expect "retries for the time-out" "$(call ConnectCardEx "[\"$R0\", 2, 3, 1000]")" "$SHARING"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
(( ms >= 900 && ms < 10000 )) || fail "ConnectCardEx with 1000 ms took $ms ms"
c1 reset
expect "search meets the holder" "$(call SearchCard '["A0 00 00 00 01 00 01", ""]')" ""
expect "sharing violation" "$(call GetLastErrorCode '[]')" "$SHARING"
exec {hold_in}>&-
wait "$holder_pid" || fail "holder exit status $?"
holder_pid=
expect "free again" "$(call ConnectCardEx "[\"$R0\", 1, 3, 3000]")" "0"
expect "disconnect" "$(call DisConnectCard '[]')" "0"

# A holder that lets go after 0.6 s: the retries end with the card.
"$card" hold "$R0" < <(sleep 0.6) > "$work/hold2.out" &
holder_pid=$!
for _ in $(seq 100); do grep -q held "$work/hold2.out" && break; sleep 0.02; done
start=$(date +%s%N)
expect "retried until free" "$(call ConnectCardEx "[\"$R0\", 1, 3, 5000]")" "0"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
(( ms >= 200 && ms < 5000 )) || fail "ConnectCardEx waited $ms ms for the holder"
wait "$holder_pid" || fail "holder exit status $?"
holder_pid=
expect "disconnect after retries" "$(call DisConnectCard '[]')" "0"

# Events: the shell has no page to tell, but the monitor's lines show in the
# log, and a Reset with events on returns (the thread is stopped and joined).
expect "events on" "$(call EnableEvents '["ev1"]')" "0"
expect "events on again" "$(call EnableEvents '["ev2"]')" "0"
logged " DEBUG   Events are already enabled"
waitlog " DEBUG   Event card ready in reader $R1"
c1 remove
waitlog " DEBUG   Event card removed in reader $R1"
c1 insert
expect "events off" "$(call DisableEvents '[]')" "0"
expect "events off again" "$(call DisableEvents '[]')" "0"
logged " DEBUG   Events are already disabled"
waitlog " DEBUG   Events disabled"
expect "events on for Reset" "$(call EnableEvents '["ev3"]')" "0"
expect "Reset with events on" "$(call Reset '[]')" "0"
expect "events need Open again" "$(call EnableEvents '["ev4"]')" "992211"
"$card" wait "$R1" present 5000 || fail "card 1 not back"

stop_shell
no_card_failures
echo "card_shell_test passed"
