#!/usr/bin/env bash
# The demo: builds VEXA and runs a short scripted session through `vexa shell`,
# showing each call and its answer.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BUILD=${VEXA_BUILD_DIR:-$VEXA_ROOT/build}
vexa_install_packages
vexa_build "$BUILD" -DVEXA_TESTS=OFF

# A throwaway home so the demo leaves no files behind.
demo_home=$(mktemp -d)
trap 'rm -rf "$demo_home"' EXIT

calls=(
    '{"id": 1, "method": "GetVersion", "args": [0]}'
    '{"id": 2, "method": "Str2Hex", "args": ["Grüße"]}'
    '{"id": 3, "method": "Hex2Str", "args": ["47 72 FC DF 65"]}'
    '{"id": 4, "method": "Hex2Str", "args": ["GG"]}'
    '{"id": 5, "method": "GetLastErrorCode", "args": []}'
    '{"id": 6, "method": "GetErrorText", "args": [992200]}'
    '{"id": 7, "method": "ReadLogFile", "args": [0]}'
    '{"id": 8, "method": "GetErrorText", "args": [992211]}'
    '{"id": 9, "method": "Open", "args": ["demo page"]}'
    '{"id": 10, "method": "SetMode", "args": ["LOGLEVEL", "DEBUG"]}'
    '{"id": 11, "method": "GetMode", "args": ["INTERFACE"]}'
    '{"id": 12, "method": "ReadLogFile", "args": [0]}'
    '{"id": 13, "method": "GetVersion", "args": ["zero"]}'
)

vexa_log "A scripted session through vexa shell (the user answers OK for https://demo.example/bank)"
printf '%s\n' "${calls[@]}" |
    (cd "$demo_home" && HOME="$demo_home" XDG_CONFIG_HOME="$demo_home/.config" "$BUILD/control/vexa" shell --url https://demo.example/bank/index.html --answer yes) |
    {
        i=0
        while IFS= read -r answer; do
            printf '  -> %s\n  <- %s\n' "${calls[$i]}" "$answer"
            i=$((i + 1))
        done
    }
