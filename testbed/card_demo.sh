#!/usr/bin/env bash
# Card work on the test bed through `vexa shell`: list the readers, search the
# card that holds an application, select it, read from it and verify a PIN,
# showing every call and its answer, then the log the plug-in wrote.
#
#   card_demo.sh [BUILD_DIR]     (default: $VEXA_BUILD_DIR or ./build)
#
# Uses a running test bed (VEXA_TESTBED_DIR) or starts one for the demo.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BUILD=${1:-${VEXA_BUILD_DIR:-$VEXA_ROOT/build}}
say() { printf "\n== %s\n" "$*"; }
if [ ! -x "$BUILD/tools/vexa" ] || [ ! -x "$BUILD/testbed/vexa-card" ]; then
    vexa_install_packages
    vexa_build "$BUILD" -DVEXA_TESTS=OFF
fi
# The shell runs in a folder of its own: a relative build directory would miss.
BUILD=$(cd "$BUILD" && pwd)
CARD=$BUILD/testbed/vexa-card

demo_home=$(mktemp -d)
started_bed=
cleanup() {
    [ -n "$started_bed" ] && bash "$VEXA_ROOT/testbed/stop_testbed.sh"
    rm -rf "$demo_home"
}
trap cleanup EXIT
export VEXA_TESTBED_DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}
if ! "$CARD" ctl "$VEXA_TESTBED_DIR/card1.sock" status >/dev/null 2>&1; then
    started_bed=1
    bash "$VEXA_ROOT/testbed/start_testbed.sh" "$BUILD"
fi
vexa_use_testbed "$VEXA_TESTBED_DIR"

# The card in the second reader holds the OpenPGP application; the first
# reader's card holds none. Every other command is a demo failure.
ctl() { "$CARD" ctl "$VEXA_TESTBED_DIR/$1" "${@:2}" >/dev/null || { echo "card_demo: ${*:2} refused" >&2; exit 1; }; }
for c in card0.sock card1.sock; do ctl "$c" reset; done
ctl card1.sock aid D27600012401 6F0A8408D276000124010304
ctl card1.sock answer 00CA006E00 730AC0087C000800080008009000
ctl card1.sock answer 0020008206313233343536 9000

calls=(
    '{"id": 1, "method": "Open", "args": ["card demo"]}'
    '{"id": 2, "method": "SetMode", "args": ["LOGLEVEL", "DEBUG"]}'
    '{"id": 3, "method": "GetReaderList", "args": []}'
    '{"id": 4, "method": "SearchCard", "args": ["D2 76 00 01 24 01", ""]}'
    '{"id": 5, "method": "GetCardATR", "args": ["Virtual PCD 00 01"]}'
    '{"id": 6, "method": "SendToCard", "args": ["00 A4 04 00 06 D2 76 00 01 24 01 00"]}'
    '{"id": 7, "method": "SendToCard", "args": ["00 CA 00 6E 00"]}'
    '{"id": 8, "method": "SendToCard", "args": ["00 20 00 82 06 31 32 33 34 35 36"]}'
    '{"id": 9, "method": "SendToCard", "args": ["00 B0 00 00 00"]}'
    '{"id": 10, "method": "GetErrorText", "args": [992302]}'
    '{"id": 11, "method": "IsCardRemoved", "args": []}'
    '{"id": 12, "method": "EndTransaction", "args": []}'
    '{"id": 13, "method": "DisConnectCard", "args": []}'
)

say "Card work through vexa shell on the test bed's virtual readers"
printf '%s\n' "${calls[@]}" |
    (cd "$demo_home" && HOME="$demo_home" XDG_CONFIG_HOME="$demo_home/.config" \
        "$BUILD/tools/vexa" shell --url https://demo.example/bank/index.html --answer yes) |
    {
        i=0
        while IFS= read -r answer; do
            printf '  -> %s\n  <- %s\n' "${calls[$i]}" "$answer"
            i=$((i + 1))
        done
    }
say "The plug-in's log (the PIN of the VERIFY command is masked)"
sed 's/^/  /' "$demo_home/.config/MERIDAN/vexa_ie.log"
# 00 B0 was no command of this card: the virtual card reports it.
say "What the virtual card did not expect"
"$CARD" ctl "$VEXA_TESTBED_DIR/card1.sock" failures | sed 's/^/  /'

# A server's command batch: `vexa request` plays the server, the page (here
# the shell) carries the enciphered texts, the card answers every command.
say "A server's command batch: vexa request build -> ExecuteRequest -> vexa request read"
ctl card1.sock clear
request=$("$BUILD/tools/vexa" request build --client BANK --transaction 4711 \
    "00 A4 04 00 06 D2 76 00 01 24 01 00" "00 CA 00 6E 00" "00 20 00 82 06 31 32 33 34 35 36")
echo "  request (enciphered): ${request:0:64}..."
batch=(
    '{"id": 1, "method": "Open", "args": ["card demo"]}'
    '{"id": 2, "method": "SetMode", "args": ["LOGLEVEL", "DEBUG"]}'
    '{"id": 3, "method": "SearchCard", "args": ["D2 76 00 01 24 01", ""]}'
    "{\"id\": 4, \"method\": \"ExecuteRequest\", \"args\": [\"$request\", 1, 0]}"
    '{"id": 5, "method": "EnableEvents", "args": ["demo"]}'
)
# Input stays open while the first reader's card is pulled and put back, so
# the shell's event monitor sees both.
answers=$({ printf '%s\n' "${batch[@]}"; sleep 0.5; ctl card0.sock remove; sleep 1.2; ctl card0.sock insert; sleep 1.2; } |
    (cd "$demo_home" && HOME="$demo_home" XDG_CONFIG_HOME="$demo_home/.config" \
        "$BUILD/tools/vexa" shell --url https://demo.example/bank/index.html --answer yes))
response=$(sed -n 4p <<< "$answers" | python3 -c 'import json,sys; print(json.load(sys.stdin)["result"])')
echo "  response, read back:"
"$BUILD/tools/vexa" request read "$response" | python3 -m json.tool | sed 's/^/    /'
say "Events seen while the first reader's card was pulled and put back"
grep -E "Event(s)? " "$demo_home/.config/MERIDAN/vexa_ie.log" | sed 's/^/  /'
