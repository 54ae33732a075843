#!/usr/bin/env bash
# `vexa sites` on the real binary: sites admitted through `vexa shell` are
# listed, removed one by one or all at once, and a later Open of a removed
# site asks again (and is refused when the answer is no).
set -euo pipefail
vexa=${1:?usage: sites_test.sh <path-to-vexa>}
source "$(dirname "$0")/throwaway_user.sh"

expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
# open_as URL ANSWER: the result of Open in a new shell for the page
open_as() {
    "$vexa" shell --url "$1" --answer "$2" <<< '{"id":1,"method":"Open","args":["p"]}' |
        python3 -c 'import json,sys; print(json.loads(sys.stdin.readline()).get("result"))'
}
# sites ARGS...: stdout and stderr together, then the exit status
sites() {
    local status=0 text
    text=$("$vexa" sites "$@" 2>&1) || status=$?
    printf '%s\n[%s]' "$text" "$status"
}
sites_file="$XDG_CONFIG_HOME/MERIDAN/vexa_sites.conf"

expect "empty list" "$(sites list)" $'No site is admitted.\n[0]'

expect "admit bank" "$(open_as https://bank.example/app/index.html yes)" "0"
expect "admit shop" "$(open_as https://shop.example/cart.html yes)" "0"
expect "admit local" "$(open_as http://127.0.0.1:8080/t/x.html yes)" "0"
expect "list" "$(sites list)" $'https://bank.example/app\nhttps://shop.example\nhttp://127.0.0.1:8080/t\n[0]'

expect "remove" "$(sites remove https://bank.example/app)" $'Removed https://bank.example/app\n[0]'
expect "after remove" "$(sites list)" $'https://shop.example\nhttp://127.0.0.1:8080/t\n[0]'
expect "removed site asked again, no" "$(open_as https://bank.example/app/index.html no)" "992211"
expect "kept site still admitted" "$(open_as https://shop.example/other.html no)" "0"
expect "trailing slash" "$(sites remove http://127.0.0.1:8080/t/)" $'Removed http://127.0.0.1:8080/t\n[0]'
[[ $(stat -c %a "$sites_file") == 600 ]] || fail "sites file mode $(stat -c %a "$sites_file")"

expect "unknown site" "$(sites remove https://bank.example)" \
    $'vexa sites: https://bank.example: is not in the list of admitted sites (\'vexa sites list\' shows them)\nTry \'vexa sites --help\'.\n[2]'
expect "remove without site" "$(sites remove | tail -1)" "[2]"
expect "unknown command" "$(sites purge | head -1)" "vexa sites: purge: unknown command (list, remove or clear)"
expect "no command" "$(sites | tail -1)" "[2]"
expect "extra argument" "$(sites list x | tail -1)" "[2]"
grep -q "usage: vexa sites list" <<< "$(sites --help)" || fail "no help"

expect "admit bank again" "$(open_as https://bank.example/app/index.html yes)" "0"
expect "clear" "$(sites clear)" $'Removed 2 sites\n[0]'
expect "cleared" "$(sites list)" $'No site is admitted.\n[0]'
expect "cleared site refused" "$(open_as https://shop.example/cart.html no)" "992211"
expect "clear again" "$(sites clear)" $'Removed 0 sites\n[0]'

# A list that does not decipher counts as empty and is replaced, not kept.
printf 'ALLOWED_URLS=nonsense\n' > "$sites_file"
expect "undecipherable" "$(sites list)" $'No site is admitted.\n[0]'
echo "sites_test passed"
