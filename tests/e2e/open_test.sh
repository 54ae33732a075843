#!/usr/bin/env bash
# Start-up settings and site admission through the real `vexa shell`: the
# configuration file, the log, Open with the site question, and the stored
# list of admitted sites read back with the openssl command line.
set -euo pipefail
vexa=${1:?usage: open_test.sh <path-to-vexa>}
source "$(dirname "$0")/throwaway_user.sh"

# shell ARGS... <<< calls: prints the answers' results, one per line
shell() {
    "$vexa" shell "$@" | python3 -c '
import json, sys
for line in sys.stdin:
    a = json.loads(line)
    print(a.get("result", "error: " + str(a.get("error"))))'
}
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
# The log is beside the configuration, wherever the shell runs.
log="$XDG_CONFIG_HOME/MERIDAN/vexa_ie.log"

# No configuration at all: the defaults, nothing admitted, nothing logged.
out=$(shell --url https://bank.example/app/index.html <<'EOF2'
{"id":1,"method":"GetMode","args":["LOGLEVEL"]}
{"id":2,"method":"GetMode","args":["INTERFACE"]}
{"id":3,"method":"Open","args":["page"]}
{"id":4,"method":"ReadLogFile","args":[0]}
{"id":5,"method":"GetLastErrorCode","args":[]}
EOF2
)
expect "defaults" "$out" $'OFF\nPCSC\n992211\n\n992211'
[[ ! -e vexa_ie.log && ! -e "$log" ]] || fail "a log was written with logging off"

# A configuration file with Windows line ends, turning the log on.
mkdir -p "$XDG_CONFIG_HOME/MERIDAN"
printf '# VEXA\r\nLOGLEVEL=DEBUG\r\nINTERFACE=CTAPI\r\n' > "$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf"
out=$(shell --url https://bank.example/app/index.html --answer yes <<'EOF2'
{"id":1,"method":"GetMode","args":["INTERFACE"]}
{"id":2,"method":"Open","args":["page"]}
{"id":3,"method":"SetMode","args":["INTERFACE","REMOTE_PCSC"]}
{"id":4,"method":"GetMode","args":["INTERFACE"]}
EOF2
)
expect "configured" "$out" $'CTAPI\n0\n992202\nCTAPI'
grep -q " INFO    VEXA 2.0.0.2 on Linux using interface type CTAPI on VEXA shell $" "$log" ||
    fail "start-up line missing: $(cat "$log")"
grep -q "ERROR   Invalid value for new interface type: 'REMOTE_PCSC' $" "$log" || fail "SetMode error line missing"
[[ ! -e vexa_ie.log ]] || fail "a log in the current directory"

# The admitted site is stored enciphered; openssl deciphers it independently.
sites="$XDG_CONFIG_HOME/MERIDAN/vexa_sites.conf"
[[ $(stat -c %a "$sites") == 600 ]] || fail "sites file mode $(stat -c %a "$sites")"
stored_list() {
    local cipher key n blocks plain
    cipher=$(sed -n 's/^ALLOWED_URLS=//p' "$sites")
    key=$(printf 'p3w7m2qxtr516vb4' | od -An -tx1 | tr -d ' \n')
    n=$(( ${#cipher} / 2 - 20 ))                  # data bytes: the cipher buffer is n + 20 bytes
    blocks=$(( (n + 4 + 15) / 16 * 32 ))          # hex digits of the whole cipher blocks
    plain=$(printf '%s' "${cipher:0:$blocks}" | xxd -r -p |
            openssl enc -d -aes-128-cbc -K "$key" -iv 00000000000000000000000000000000 -nopad | xxd -p | tr -d '\n')
    expect "frame length" "${plain:0:8}" "$(printf '%08x' "$n")"
    printf '%s' "${plain:8:$(( (n - 1) * 2 ))}" | xxd -r -p
}
expect "stored list" "$(stored_list)" "https://bank.example/app|"

# A new shell admits the stored site without asking; another site is refused.
out=$(shell --url https://bank.example/app/pay.html --answer no <<< '{"id":1,"method":"Open","args":["p"]}')
expect "remembered" "$out" "0"
out=$(shell --url https://bank.example.attacker.test/app/x.html --answer no <<< '{"id":1,"method":"Open","args":["p"]}')
expect "look-alike host" "$out" "992211"

# Reset reads the configuration again and asks for Open again.
out=$(shell --url https://bank.example/app/x.html <<'EOF2'
{"id":1,"method":"Open","args":["p"]}
{"id":2,"method":"SetMode","args":["LOGLEVEL","TRACE"]}
{"id":3,"method":"Reset","args":[]}
{"id":4,"method":"GetMode","args":["LOGLEVEL"]}
{"id":5,"method":"ReadLogFile","args":[0]}
{"id":6,"method":"GetLastErrorCode","args":[]}
{"id":7,"method":"Open","args":["p"]}
{"id":8,"method":"ReadLogFile","args":[100]}
EOF2
)
mapfile -t lines <<< "$out"
expect "reset result" "${lines[2]}" "0"
expect "level after reset" "${lines[3]}" "DEBUG"
expect "guard after reset" "${lines[5]}" "992211"
expect "open after reset" "${lines[6]}" "0"
[[ "${lines[7]}" == 20* ]] || fail "ReadLogFile tail does not start at a line: ${lines[7]}"

# A faulty configuration keeps the defaults and says where the fault is.
printf 'LOGLEVEL=INFO\nLOGLEVEL = DEBUG\n' > "$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf"
rm -f "$log"
shell <<< '{"id":1,"method":"GetVersion","args":[0]}' >/dev/null
grep -q "ERROR   Unknown parameter in file '$XDG_CONFIG_HOME/MERIDAN/vexa_ie.conf', line 2. $" "$log" ||
    fail "faulty file not reported: $(cat "$log")"

# One OK on an address that carries "|" in its query admits that one site;
# it once stored "https:" as well, which admitted every https page.
open_as() { shell "$@" <<< '{"id":1,"method":"Open","args":["p"]}'; }
expect "evil site admitted" "$(open_as --url 'https://evil.example/?a|https:/' --answer yes)" "0"
expect "another site after it" "$(open_as --url https://bank.example/login --answer no)" "992211"
expect "only the site stored" "$(stored_list)" "https://bank.example/app|https://evil.example|"

# The frame's origin: opaque frames are refused without a question; a frame
# that inherits its origin is asked about that origin and not stored.
expect "opaque frame" "$(open_as --url https://bank.example/app/x.html --origin null --answer yes)" "992211"
expect "about:blank without origin" "$(open_as --url about:blank --answer yes)" "992211"
expect "about:blank of a stored origin" "$(open_as --url about:blank --origin https://evil.example)" "0"
expect "about:blank asked" "$(open_as --url about:blank --origin https://shop.example --answer yes)" "0"
expect "about:blank not stored" "$(open_as --url about:blank --origin https://shop.example)" "992211"
expect "list unchanged" "$(stored_list)" "https://bank.example/app|https://evil.example|"

# --answer takes only its three words.
status=0
"$vexa" shell --answer maybe </dev/null 2>/dev/null || status=$?
expect "bad --answer" "$status" "2"
echo "open_test passed"
