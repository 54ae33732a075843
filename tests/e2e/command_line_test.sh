#!/usr/bin/env bash
# The command-line conventions every program shares, on the real binaries:
# --help on stdout with status 0, --version, an unknown option refused with
# status 2 naming it, --opt=value, and a bad value refused with the option
# and the reason. Also vexa-rpcscd's log lines without time stamps when its
# standard error is the journal.
set -euo pipefail
vexa=$(realpath "${1:?usage: command_line_test.sh <path-to-vexa>}")
man_dir=$(realpath "$(dirname "$0")/../../man")
source "$(dirname "$0")/throwaway_user.sh"
host_manifest=${VEXA_HOST_NAME:?ctest sets it to the host name of the build}.json

# The other programs beside vexa in a build tree, or where a package puts them.
find_program() {
    local dir candidate
    dir=$(dirname "$vexa")
    for candidate in "$dir/$1" "$dir/../server/$1" "$dir/../testbed/$1" "/usr/lib/vexa/$1"; do
        [[ -x "$candidate" ]] && { echo "$candidate"; return; }
    done
    return 0
}
host=${VEXA_HOST_PROGRAM:?ctest sets it to the vexa-host of the build}
rpcscd=$(find_program vexa-rpcscd)
card=$(find_program vexa-card)
[[ -n "$host" && -n "$rpcscd" ]] || fail "vexa-host ($host) or vexa-rpcscd not found"

version=$("$vexa" --version) || fail "vexa --version exited $?"
[[ "$version" =~ ^vexa\ [0-9]+(\.[0-9]+)+$ ]] || fail "vexa --version: '$version'"
version=${version#vexa }

# run NAME ARGS...: status in $status, output in $work/out and $work/err.
run() {
    status=0
    "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
}

check_conventions() { # PROGRAM [COMMAND...]
    local program=$1 name
    name="$(basename "$1")${2:+ ${*:2}}"
    run "$@" --help
    [[ $status -eq 0 && ! -s "$work/err" ]] || fail "$name --help: status $status, stderr $(cat "$work/err")"
    grep -q "^usage: " "$work/out" || fail "$name --help: no usage on stdout"
    grep -q -- "--version" "$work/out" || fail "$name --help does not list --version"
    run "$@" --version
    [[ $status -eq 0 && "$(cat "$work/out")" == "$(basename "$program") $version" ]] ||
        fail "$name --version: status $status, '$(cat "$work/out")'"
    run "$@" --frob
    [[ $status -eq 2 && ! -s "$work/out" ]] || fail "$name --frob: status $status"
    [[ "$(cat "$work/err")" == "$name: --frob: unknown option"$'\n'"Try '$name --help'." ]] ||
        fail "$name --frob: '$(cat "$work/err")'"
}

# refused EXPECTED-STDERR-FIRST-LINE PROGRAM ARGS...: status 2, the reason.
refused() {
    local expected=$1
    shift
    run "$@"
    [[ $status -eq 2 && ! -s "$work/out" && "$(head -n 1 "$work/err")" == "$expected" ]] ||
        fail "$*: status $status, '$(cat "$work/err")', expected '$expected'"
}

check_conventions "$vexa"
check_conventions "$vexa" shell
check_conventions "$vexa" request
check_conventions "$vexa" request build
check_conventions "$vexa" request read
check_conventions "$host"
check_conventions "$host" register
check_conventions "$host" unregister
check_conventions "$rpcscd"
if [[ -n "$card" ]]; then
    check_conventions "$card"
    check_conventions "$card" serve
fi

refused "vexa: frob: unknown command" "$vexa" frob
refused "vexa shell: --answer: takes yes, no or ask, not 'maybe'" "$vexa" shell --answer=maybe
refused "vexa shell: --url: needs a value" "$vexa" shell --url
refused "vexa request build: --process: takes a number, not 'x'" "$vexa" request build --process=x 00
refused "vexa-host register: --system: cannot go with --user-data-dir" "$host" register --system --user-data-dir=x
refused "vexa-host unregister: --user-data-dir: needs a directory" "$host" unregister --user-data-dir=
refused "vexa-rpcscd: --port: 99999 is not a port number (0-65535)" "$rpcscd" --port 99999
refused "vexa-rpcscd: --max-per-peer: 0 is not an allowed number (1-1024)" "$rpcscd" --max-per-peer=0
refused "vexa-rpcscd: --allow: not an address or address block: \"10.0.0.0/33\"" "$rpcscd" --allow=10.0.0.0/33
refused "vexa-rpcscd: --log-timestamps: takes yes, no or auto, not 'sometimes'" "$rpcscd" --log-timestamps=sometimes
[[ -z "$card" ]] || refused "vexa-card serve: --port: 99999 is not a port number (1-65535)" "$card" serve --port=99999

# The benches measure only on a line they understood: --help and a typo end
# them at once with their usage and status 2 (--help started 100,000 APDUs).
check_bench() { # PROGRAM...
    local args
    for args in --help "--iteratons 5"; do
        # shellcheck disable=SC2086 # the typo is two words
        run timeout 10 "$@" $args
        [[ $status -eq 2 ]] || fail "$* $args: status $status, $(cat "$work/err")"
        cat "$work/out" "$work/err" | grep -q "^usage: " || fail "$* $args: no usage"
    done
}
bench_dir=$(dirname "$vexa")/../bench
source_dir=$(dirname "$0")/../..
if [[ -d "$bench_dir" ]]; then
    for bench in card event remote rpcscd_load; do
        check_bench "$bench_dir/vexa_${bench}_bench"
    done
fi
if command -v node >/dev/null; then
    check_bench node "$source_dir/bench/browser_bench.mjs"
    check_bench node "$source_dir/bench/browser_event_bench.mjs"
fi
command -v python3 >/dev/null && check_bench python3 "$source_dir/bench/windows_bench.py"

# --opt=value takes effect.
run "$vexa" request build --plain --process=7 --client=BANK 00A4040000
[[ $status -eq 0 ]] || fail "request build --process=7: status $status, $(cat "$work/err")"
run "$vexa" request read --plain "$(cat "$work/out")"
grep -q '"processId":7,"clientId":"BANK"' "$work/out" || fail "request read: $(cat "$work/out")"
printf '{"id":1,"method":"GetVersion","args":[0]}\n' | "$vexa" shell --answer=yes --url=https://a.example/ >"$work/out"
[[ "$(cat "$work/out")" == "{\"id\":1,\"result\":\"$version\"}" ]] || fail "vexa shell --answer=yes: $(cat "$work/out")"
run "$host" register --user-data-dir="$work/profile"
[[ $status -eq 0 && -f "$work/profile/NativeMessagingHosts/$host_manifest" ]] ||
    fail "vexa-host register --user-data-dir=DIR: status $status, $(cat "$work/err")"
run "$host" unregister --user-data-dir "$work/profile"
[[ $status -eq 0 && ! -e "$work/profile/NativeMessagingHosts/$host_manifest" ]] ||
    fail "vexa-host unregister: status $status"

# vexa-rpcscd on a free port until its first log line; prints that line.
first_log_line() {
    local log=$1 pid
    shift
    "$rpcscd" --listen=127.0.0.1 --port=0 "$@" 2>"$log" &
    pid=$!
    for _ in $(seq 100); do
        [[ -s "$log" ]] && grep -q "Listening" "$log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" || true
    head -n 1 "$log"
}
stamp='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} INFO  Listening on 127\.0\.0\.1:[0-9]+'
line=$(first_log_line "$work/plain.log")
[[ "$line" =~ $stamp ]] || fail "vexa-rpcscd log on a file: '$line'"
# systemd names the journal stream it gives as stderr by device and inode.
touch "$work/journal.log"
line=$(JOURNAL_STREAM=$(stat -c '%d:%i' "$work/journal.log") first_log_line "$work/journal.log")
[[ "$line" =~ ^\<6\>INFO\ \ Listening\ on ]] || fail "vexa-rpcscd log on the journal: '$line'"
# Another stream's name is no reason to leave the stamps out.
line=$(JOURNAL_STREAM=1:1 first_log_line "$work/other.log")
[[ "$line" =~ $stamp ]] || fail "vexa-rpcscd log with a foreign JOURNAL_STREAM: '$line'"
line=$(first_log_line "$work/no.log" --log-timestamps=no)
[[ "$line" =~ ^\<6\>INFO ]] || fail "vexa-rpcscd --log-timestamps=no: '$line'"
# Each man page renders without warnings and names every option its
# program's --help lists, so the two cannot drift apart unseen.
check_man_page() { # PAGE PROGRAM [COMMAND...]
    local page=$man_dir/$1 option
    shift
    MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err" >"$work/man.out" || fail "man $page: status $?"
    [[ ! -s "$work/man.err" ]] || fail "man $page: $(cat "$work/man.err")"
    run "$@" --help
    for option in $(grep -oE '^  --[a-z-]+' "$work/out"); do
        grep -qF -- "$option" "$work/man.out" || fail "$page does not mention $option of $* --help"
    done
}
if command -v man >/dev/null; then
    check_man_page vexa.1 "$vexa" shell
    check_man_page vexa-host.1 "$host" register
    check_man_page vexa-rpcscd.8 "$rpcscd"
fi
echo "PASS"
