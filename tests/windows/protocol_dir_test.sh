#!/usr/bin/env bash
# Where the Windows build keeps its files under Wine: without the registry,
# `vexa.exe log on` writes vexa_ie.conf to %APPDATA%\MERIDAN and the log lands
# beside it; a ProtocolDir value under HKCU\Software\MERIDAN\VEXA moves the
# configuration and the log there and switches the log to DEBUG; HKLM's value
# counts only while the user's key is missing.
#
#   tests/windows/protocol_dir_test.sh WINDOWS_BUILD_DIR
#
# Uses $WINEPREFIX when set, else a prefix of its own. Exit 77 without wine.
set -uo pipefail
WIN=$(cd "${1:?usage: protocol_dir_test.sh WINDOWS_BUILD_DIR}" && pwd)
command -v wine >/dev/null || { echo "protocol_dir_test: skipped, wine is not installed"; exit 77; }
vexa=$WIN/tools/vexa.exe

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
cleanup() {
    wine_prefix_end
    wine reg delete 'HKCU\Software\MERIDAN' /f >/dev/null 2>&1
    wine reg delete 'HKLM\Software\MERIDAN' /f /reg:64 >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix protocol_dir_test "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
unix() { winepath -u "$1" 2>/dev/null; }
# One shell, which logs its start-up line; prints its log level.
start_once() {
    printf '{"id":1,"method":"GetMode","args":["LOGLEVEL"]}\n' | wine "$vexa" shell --answer no 2>/dev/null |
        tr -d '\r' | sed -n 's/.*"result":"\([A-Z]*\)".*/\1/p'
}
started() { grep -q "VEXA .* on Windows using interface type PCSC on VEXA shell" "$1/vexa_ie.log" 2>/dev/null; }

meridan=$(unix "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')\\MERIDAN")
wine "$vexa" log on DEBUG >/dev/null 2>&1 || fail "vexa.exe log on DEBUG"
grep -q '^LOGLEVEL=DEBUG' "$meridan/vexa_ie.conf" 2>/dev/null || fail "no LOGLEVEL=DEBUG in $meridan/vexa_ie.conf"
[ "$(start_once)" = DEBUG ] || fail "log level after vexa.exe log on DEBUG"
started "$meridan" || fail "no start-up line in $meridan/vexa_ie.log"
wine "$vexa" log show 2>/dev/null | tr -d '\r' | grep -q "on Windows using interface type" || fail "vexa.exe log show"
wine "$vexa" log off >/dev/null 2>&1 || fail "vexa.exe log off"
[ "$(start_once)" = OFF ] || fail "log level after vexa.exe log off"
rm -f "$meridan/vexa_ie.log"
ok "APPDATA\\MERIDAN: vexa_ie.conf and the log beside it"

# The user's key: its protocol folder takes the log, at DEBUG without a configuration there.
mkdir -p "$work/user" "$work/machine"
wine reg add 'HKCU\Software\MERIDAN\VEXA' /v ProtocolDir /d "$(winepath -w "$work/user")" /f >/dev/null 2>&1
wine reg add 'HKLM\Software\MERIDAN\VEXA' /v ProtocolDir /d "$(winepath -w "$work/machine")" /f /reg:64 >/dev/null 2>&1
[ "$(start_once)" = DEBUG ] || fail "log level with the user's ProtocolDir"
started "$work/user" || fail "no log in the user's ProtocolDir"
[ -e "$work/machine/vexa_ie.log" ] && fail "the machine's ProtocolDir took a log while the user's key is there"
[ -e "$meridan/vexa_ie.log" ] && fail "a log in APPDATA despite the ProtocolDir"
ok "HKCU ProtocolDir: the log there, at DEBUG"

wine reg delete 'HKCU\Software\MERIDAN' /f >/dev/null 2>&1
[ "$(start_once)" = DEBUG ] || fail "log level with the machine's ProtocolDir"
started "$work/machine" || fail "no log in the machine's ProtocolDir"
ok "HKLM ProtocolDir once the user's key is gone"

[ $failures -eq 0 ] || { echo "protocol_dir_test: $failures failures" >&2; exit 1; }
echo "protocol_dir_test: passed"
