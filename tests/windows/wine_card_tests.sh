#!/usr/bin/env bash
# The Windows build's card paths under Wine against the running Linux test
# bed: the test bed's shell tests run with vexa.exe in one Wine prefix, its
# winscard calls carried to the bed's vexa-rpcscd by the test-only stand-in
# (testbed/windows), and the sites file is checked to be the same file on
# both systems. One pass/FAIL/skip line per check, then a summary.
#
#   tests/windows/wine_card_tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Needs a test bed of the Linux build (testbed/start_testbed.sh); exit 77
# (skipped) without it or without wine.
set -uo pipefail

WIN=$(cd "${1:?usage: wine_card_tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
LINUX=$(cd "${2:?usage: wine_card_tests.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd) || exit 1
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SCRIPTS=$ROOT/tests/testbed
CARD=$LINUX/testbed/vexa-card
for tool in wine wineboot wineserver winepath python3; do
    command -v "$tool" >/dev/null || { echo "wine_card_tests: skipped, $tool is not installed"; exit 77; }
done
address=${VEXA_TESTBED_DIR:-}/rpcscd.address
if [[ -z "${VEXA_TESTBED_DIR:-}" || ! -s "$address" ]]; then
    [[ -n "${VEXA_TESTBED_REQUIRED:-}" ]] && { echo "FAIL: no test bed with vexa-rpcscd in '${VEXA_TESTBED_DIR:-}'"; exit 1; }
    echo "wine_card_tests: skipped, no test bed with vexa-rpcscd (testbed/start_testbed.sh starts one)"; exit 77
fi
for f in tools/vexa.exe ctapi/vexactapi.dll testbed/windows/winscard.dll; do
    [[ -s "$WIN/$f" ]] || { echo "wine_card_tests: $WIN/$f missing: build the Windows tree first" >&2; exit 1; }
done

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
# A prefix of its own, whatever the caller's.
unset WINEPREFIX
cleanup() {
    wine_prefix_end
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix wine_card_tests "$work"

# Wine finds the stand-in only beside the program.
bin=$work/bin
mkdir -p "$bin"
cp "$WIN/tools/vexa.exe" "$WIN/ctapi/vexactapi.dll" "$WIN/testbed/windows/winscard.dll" "$bin/"
export WINEDLLOVERRIDES="winscard=n" VEXA_WINSCARD_SERVER=$(cat "$address")
vexa_exe=$bin/vexa.exe

# Wine sets APPDATA and windir itself: the config home and HBCIKRNL.INI's
# folder are the prefix's.
appdata=$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')
appdata=$(winepath -u "$appdata" 2>/dev/null)
[[ -n "$appdata" ]] || { echo "wine_card_tests: no APPDATA in the prefix" >&2; exit 1; }
mkdir -p "$appdata"
windir=$WINEPREFIX/drive_c/windows
ctapi_dll=$(winepath -w "$bin/vexactapi.dll")
# As the test bed's own: ports 1 and 2 of the driver are pcscd's two readers.
printf '[CardReader]\r\nVEXA_CT_0=Active\r\nVEXA_CT_1=Active\r\n\r\n' > "$windir/HBCIKRNL.INI"
printf '[VEXA_CT_%s]\r\nCtDllName=%s\r\nPort=%s\r\n\r\n' 0 "$ctapi_dll" 1 1 "$ctapi_dll" 2 >> "$windir/HBCIKRNL.INI"

passed=0 failed=0 skipped=0
# check NAME COMMAND...: runs the command with a fresh config home; exit 77
# is a skip, whose reason is the command's last line.
check() {
    local name=$1 out status=0
    shift
    rm -rf "$appdata/MERIDAN"
    out=$("$@" 2>&1) || status=$?
    if ((status == 0)); then
        echo "pass: $name"
        grep '^SKIP: ' <<< "$out" | sed 's/^SKIP: /    skipped case: /'
        passed=$((passed + 1))
    elif ((status == 77)); then
        echo "skip: $name: $(tail -1 <<< "$out")"
        skipped=$((skipped + 1))
    else
        echo "FAIL: $name (status $status)"
        sed 's/^/    /' <<< "$out" | tail -60
        failed=$((failed + 1))
    fi
}
# A test-bed shell test with vexa.exe under Wine.
shell_test() {
    VEXA_RUNNER=wine VEXA_CONFIG_HOME=$appdata VEXA_TESTBED_REQUIRED=1 bash "$SCRIPTS/$1.sh" "$vexa_exe" "$CARD"
}

# vpcd refuses every reader control code, so SendIOCTL fails alike whichever
# code arrives; pcscd's log shows that the call got through the stand-in and
# the server to the reader's driver.
card_test() {
    local log=$VEXA_TESTBED_DIR/pcscd.log before
    before=$(grep -c 'IFDControl()' "$log")
    shell_test card_shell_test || return
    (($(grep -c 'IFDControl()' "$log") > before)) || { echo "SendIOCTL did not reach the reader's driver"; return 1; }
}

# The sites file: what one system admits, the other admits from the same file.
linux_home=$work/linux-config
open_line='{"id":1,"method":"Open","args":["p"]}'
# linux_vexa ARGS...: the Linux vexa with linux_home as its config home.
linux_vexa() {
    (unset APPDATA USERPROFILE windir && HOME=$work XDG_CONFIG_HOME=$linux_home "$LINUX/tools/vexa" "$@")
}
wine_vexa() { wine "$vexa_exe" "$@" | tr -d '\r'; }
# open_on SYSTEM ANSWER: Open's answer in a shell for the bank's page.
open_on() {
    "${1}_vexa" shell --url https://bank.example/x --answer "$2" <<< "$open_line" | tr -d '\r'
}
# sites_cross FROM TO FROM_HOME TO_HOME: FROM admits the site, TO takes its file.
sites_cross() {
    local from=$1 to=$2 from_file=$3/MERIDAN/vexa_sites.conf to_file=$4/MERIDAN/vexa_sites.conf out
    rm -rf "$linux_home" "$appdata/MERIDAN"
    mkdir -p -m 700 "$linux_home"
    out=$(open_on "$to" no)
    [[ "$out" == '{"id":1,"result":992211}' ]] || { echo "$to admitted an unknown site: $out"; return 1; }
    out=$(open_on "$from" yes)
    [[ "$out" == '{"id":1,"result":0}' ]] || { echo "$from refused the site it was told to admit: $out"; return 1; }
    [[ -s "$from_file" ]] || { echo "$from wrote no $from_file"; return 1; }
    rm -f "$to_file"
    mkdir -p -m 700 "$(dirname "$to_file")"
    cp "$from_file" "$to_file"
    out=$("${to}_vexa" sites list)
    [[ "$out" == "https://bank.example" ]] || { echo "$to's sites list: $out"; return 1; }
    out=$(open_on "$to" no)
    [[ "$out" == '{"id":1,"result":0}' ]] || { echo "$to did not admit $from's site: $out"; return 1; }
}
sites_check() {
    sites_cross linux wine "$linux_home" "$appdata" && sites_cross wine linux "$appdata" "$linux_home"
}

start=$(date +%s)
check "REMOTE_PCSC: remote_shell_test (Winsock to the Linux vexa-rpcscd)" shell_test remote_shell_test
check "PCSC: card_shell_test (readers, SearchCard, APDUs, SendIOCTL, transactions, removal, events)" \
    card_test
check "PCSC: transaction_shell_test (two shells on one card)" shell_test transaction_shell_test
check "PCSC: request_shell_test (ExecuteRequest)" shell_test request_shell_test
check "CTAPI: ctapi_shell_test (vexactapi.dll over winscard)" shell_test ctapi_shell_test
check "PCSC: service_restart_test (the bed's pcscd restarts behind the stand-in's contexts)" \
    shell_test service_restart_test
check "readers: readers_tool_test (vexa.exe readers)" shell_test readers_tool_test
check "sites: the same sites file admits the site on Linux and under Wine, both ways" sites_check

echo "wine_card_tests: $passed passed, $failed failed, $skipped skipped in $(($(date +%s) - start)) s"
((failed == 0))
