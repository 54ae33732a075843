# Sourced by the test-bed shell tests: finds the running test bed, gives the
# test a throwaway user, and drives one `vexa shell` call by call.
#
#   source shell_bed.sh VEXA VEXA_CARD [FILE...]
#
# FILE: further files the test bed must hold. Without a test bed the test is
# skipped (exit 77), unless VEXA_TESTBED_REQUIRED is set.
# VEXA_RUNNER: a command that starts VEXA (e.g. wine); VEXA_CONFIG_HOME: the
# folder that program takes as its config home (the runner's; the caller
# empties it between tests), else the throwaway user's $XDG_CONFIG_HOME.
# Gives: vexa, card, dir, work, home (the config home), config (the user's
# vexa_ie.conf), log; c0 and c1 script the two cards; fail, expect, logged,
# waitlog, text (output without the line ends' CR of a Windows program); start_shell,
# call, stop_shell; no_card_failures.
vexa=${1:?usage: $(basename "$0") <vexa> <vexa-card>}
card=${2:?usage: $(basename "$0") <vexa> <vexa-card>}
shift 2

dir=${VEXA_TESTBED_DIR:-}
bed_ready() {
    [[ -n "$dir" ]] && "$card" ctl "$dir/card0.sock" status >/dev/null 2>&1 || return 1
    local f
    for f; do [[ -s "$dir/$f" ]] || return 1; done
}
if ! bed_ready "$@"; then
    [[ -n "${VEXA_TESTBED_REQUIRED:-}" ]] && { echo "FAIL: no test bed with $* in '$dir'"; exit 1; }
    echo "SKIP: no test bed (testbed/start_testbed.sh starts one)"; exit 77
fi
source "$(dirname "${BASH_SOURCE[0]}")/../../testbed/common.sh"
vexa_use_testbed "$dir"
c0() { "$card" ctl "$dir/card0.sock" "$@" >/dev/null; }
c1() { "$card" ctl "$dir/card1.sock" "$@" >/dev/null; }

work=$(mktemp -d)
shell_pid=
holder_pid=
cleanup() {
    [[ -n "${holder_pid:-}" ]] && kill "$holder_pid" 2>/dev/null
    [[ -n "${shell_pid:-}" ]] && kill "$shell_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
unset APPDATA USERPROFILE windir
home=${VEXA_CONFIG_HOME:-$XDG_CONFIG_HOME}
mkdir -p "$home/MERIDAN" "$work/cwd"
config="$home/MERIDAN/vexa_ie.conf"
# Beside the configuration, not in the shell's current directory ($work/cwd).
log="$home/MERIDAN/vexa_ie.log"
# Through a runner, $vexa is a script that starts the program with it.
if [[ -n "${VEXA_RUNNER:-}" ]]; then
    printf '#!/usr/bin/env bash\nexec %s %q "$@"\n' "$VEXA_RUNNER" "$vexa" > "$work/vexa"
    chmod +x "$work/vexa"
    vexa=$work/vexa
fi

fail() { echo "FAIL: $*"; echo "--- log:"; tail -40 "$log" 2>/dev/null; exit 1; }
expect() { [[ "$2" == "$3" ]] || fail "$1: expected '$3', got '$2'"; }
logged() { grep -qF -- "$1" "$log" || fail "log line missing: $1"; }
# The same, waiting up to 5 s for the line (one a monitor thread writes).
waitlog() { for _ in $(seq 100); do grep -qF -- "$1" "$log" && return; sleep 0.05; done; fail "log line missing: $1"; }
# A program's output without the CR that ends its lines on Windows.
text() { tr -d '\r'; }

# One shell for the page https://bank.example/x, whose site question is
# answered OK.
start_shell() {
    coproc SHELL { cd "$work/cwd" && exec "$vexa" shell --url https://bank.example/x --answer yes; }
    shell_pid=$SHELL_PID
}
# call METHOD ARGS-JSON: prints the result (or "error: ...") of one call
call() {
    printf '{"id":1,"method":"%s","args":%s}\n' "$1" "$2" >&"${SHELL[1]}"
    local line
    IFS= read -r line <&"${SHELL[0]}" || fail "shell ended at $1"
    python3 -c 'import json,sys; a=json.loads(sys.argv[1]); print(a.get("result", "error: " + str(a.get("error"))))' "$line"
}
# Ends the shell's input; it must exit 0.
stop_shell() {
    eval "exec ${SHELL[1]}>&-"
    wait "$shell_pid" || fail "shell exit status $?"
    shell_pid=
}
# The virtual cards saw no command they did not expect.
no_card_failures() {
    local s
    for s in card0 card1; do expect "$s failures" "$("$card" ctl "$dir/$s.sock" failures)" "ok 0"; done
}
