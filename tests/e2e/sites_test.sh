#!/usr/bin/env bash
# `vexa sites` on the real binary: sites admitted through `vexa shell` are
# listed, removed one by one or all at once, and a later Open of a removed
# site asks again (and is refused when the answer is no).
set -euo pipefail
vexa=${1:?usage: sites_test.sh <path-to-vexa>}
key_header="$(cd "$(dirname "$0")/../.." && pwd)/core/setting_tables.h"
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

# store_list TEXT: the user's list enciphered as VEXA stores it (key from the source)
store_list() {
    local key
    key=$(sed -n 's/.*kSitesKey = "\(.*\)";/\1/p' "$key_header")
    python3 - "$key" "$1" > "$sites_file" <<'EOF'
import subprocess, sys
key, text = sys.argv[1].encode(), sys.argv[2].encode() + b"\0"
frame = len(text).to_bytes(4, "big") + text
frame += b"\0" * (-len(frame) % 16)
cipher = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-nopad", "-K", key.hex(), "-iv", "0" * 32],
                        input=frame, capture_output=True, check=True).stdout
cipher += b"\0" * (len(text) + 20 - len(cipher))
print("ALLOWED_URLS=" + cipher.hex().upper() + "\n")
EOF
}

# Entries an older version stored that no longer count stay, marked, until removed.
store_list 'https://bank.example|http://shop.example|file:///home/u|https://u@x.example|'
expect "unhonoured listed" "$(sites list)" $'https://bank.example
http://shop.example  (not honoured: is plain http to another machine)
file:///home/u  (not honoured: names no host)
https://u@x.example  (not honoured: holds a user name, a query or a fragment)
[0]'
expect "unhonoured refused" "$(open_as http://shop.example/x.html no)" "992211"
expect "admit beside them" "$(open_as https://new.example/x.html yes)" "0"
expect "kept in place" "$(sites list)" $'https://bank.example
http://shop.example  (not honoured: is plain http to another machine)
file:///home/u  (not honoured: names no host)
https://u@x.example  (not honoured: holds a user name, a query or a fragment)
https://new.example
[0]'
expect "remove unhonoured" "$(sites remove file:///home/u)" $'Removed file:///home/u\n[0]'
expect "after removing it" "$(sites list | head -3)" $'https://bank.example
http://shop.example  (not honoured: is plain http to another machine)
https://u@x.example  (not honoured: holds a user name, a query or a fragment)'

# A symbolic link at the list, even a dangling one, is neither read nor written.
rm "$sites_file"
ln -s "$work/elsewhere.conf" "$sites_file"
expect "link listed" "$(sites list)" "vexa sites: not using $sites_file: '$sites_file' is a symbolic link
[1]"
expect "link clear" "$(sites clear | tail -1)" "[1]"
expect "link asked" "$(open_as https://bank.example/x.html yes)" "0"
[[ ! -e "$work/elsewhere.conf" && -L "$sites_file" ]] || fail "the link's target was created or the link replaced"
rm "$sites_file"

# A file cut short gives its whole entries, says so and fails; the next save
# keeps it, byte for byte and with its mode, beside the new list.
store_list 'https://bank.example|https://shop.example|'
truncate -s $(( 13 + 80 )) "$sites_file"
chmod 600 "$sites_file"
cp "$sites_file" "$work/cut.conf"
damage() { echo "vexa sites: The sites file '$sites_file' is damaged: $1; the next change keeps it as '$sites_file.damaged'"; }
expect "cut short" "$(sites list)" "https://bank.example
$(damage "ALLOWED_URLS is cut short (40 of 63 bytes); 1 entry could be read")
[1]"
expect "cut file still admits" "$(open_as https://bank.example/x.html no)" "0"
expect "admit beside a cut file" "$(open_as https://new.example/x.html yes)" "0"
cmp -s "$work/cut.conf" "$sites_file.damaged" || fail "the cut file was not kept"
expect "kept with its mode" "$(stat -c %a "$sites_file.damaged")" "600"
expect "saved whole" "$(sites list)" $'https://bank.example\nhttps://new.example\n[0]'

# Garbage reads as no entry; a later damage replaces the older copy.
printf 'ALLOWED_URLS=nonsense\n' > "$sites_file"
expect "undecipherable" "$(sites list)" "$(damage "ALLOWED_URLS is not hex text; 0 entries could be read")
[1]"
expect "clear keeps it" "$(sites clear)" "vexa sites: kept the damaged file as $sites_file.damaged
Removed 0 sites
[0]"
expect "newer copy" "$(cat "$sites_file.damaged")" "ALLOWED_URLS=nonsense"
expect "cleared whole" "$(sites list)" $'No site is admitted.\n[0]'
echo "sites_test passed"
