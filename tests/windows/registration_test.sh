#!/usr/bin/env bash
# `vexa-host.exe register` under Wine writes the two manifests and the keys of
# Chrome, Edge, Chromium and Firefox, per user (HKCU, APPDATA) and with
# --system (HKLM, ProgramData); `unregister` removes exactly those.
#
#   tests/windows/registration_test.sh WINDOWS_BUILD_DIR
#
# Uses $WINEPREFIX when set (a prefix of the caller's, made with wineboot),
# else one of its own. Exit 77 (skipped) without wine.
set -uo pipefail
BUILD=$(cd "${1:?usage: registration_test.sh WINDOWS_BUILD_DIR}" && pwd)
for tool in wine wineboot wineserver winepath python3; do
    command -v "$tool" >/dev/null || { echo "registration_test: skipped, $tool is not installed"; exit 77; }
done
host=$BUILD/host/vexa-host.exe
name=$(sed -n 's/^VEXA_HOST_NAME=//p' "$BUILD/packaging/windows/msi.env")
[ -n "$name" ] || { echo "registration_test: $BUILD is no Windows build folder" >&2; exit 1; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
trap 'wine_prefix_end; rm -rf "$work"' EXIT
wine_prefix registration_test "$work"

# Browser key below the hive, and the manifest form it names.
KEYS=("Software\\Google\\Chrome\\NativeMessagingHosts\\$name=chromium"
      "Software\\Microsoft\\Edge\\NativeMessagingHosts\\$name=chromium"
      "Software\\Chromium\\NativeMessagingHosts\\$name=chromium"
      "Software\\Mozilla\\NativeMessagingHosts\\$name=firefox")

manifest_field() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$@"; }

# check HIVE FOLDER_WIN [--system]
check() {
    local hive=$1 folder=$2 option=${3:-} entry key value form unix
    wine "$host" register $option || fail "register $option exited with $?"
    for entry in "${KEYS[@]}"; do
        key="$hive\\${entry%%=*}" form=${entry#*=}
        value=$(registry_default "$key") || { fail "no key $key"; continue; }
        if [ "$form" = firefox ]; then
            [ "$value" = "$folder\\firefox\\$name.json" ] || fail "$key names $value"
        else
            [ "$value" = "$folder\\$name.json" ] || fail "$key names $value"
        fi
        unix=$(winepath -u "$value" 2>/dev/null)
        [ -s "$unix" ] || { fail "$key: no manifest at $value"; continue; }
        [ "$(manifest_field "$unix" name)" = "$name" ] || fail "$value: name"
        [ "$(manifest_field "$unix" path)" = "$(winepath -w "$host" 2>/dev/null)" ] || fail "$value: path"
        if [ "$form" = firefox ]; then
            manifest_field "$unix" allowed_extensions | grep -q '@' || fail "$value: allowed_extensions"
        else
            manifest_field "$unix" allowed_origins | grep -q 'chrome-extension://[a-p]\{32\}/' ||
                fail "$value: allowed_origins"
        fi
    done
    ok "register $option: four keys in $hive, manifests in $folder"
    wine "$host" unregister $option || fail "unregister $option exited with $?"
    for entry in "${KEYS[@]}"; do
        key="$hive\\${entry%%=*}"
        wine reg query "$key" /reg:64 >/dev/null 2>&1 && fail "key left: $key"
    done
    [ -e "$(winepath -u "$folder\\$name.json" 2>/dev/null)" ] && fail "manifest left in $folder"
    [ -e "$(winepath -u "$folder\\firefox\\$name.json" 2>/dev/null)" ] && fail "Firefox manifest left in $folder"
    ok "unregister $option: keys and manifests gone"
}

appdata=$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')
programdata=$(wine cmd /c 'echo %ProgramData%' 2>/dev/null | tr -d '\r')
# Windows browsers look for hosts in the registry only: a profile folder is refused.
wine "$host" register --user-data-dir 'C:\profile' >/dev/null 2>&1
status=$?
[ $status -eq 2 ] || fail "register --user-data-dir: status $status, not refused"
check HKCU "$appdata\\MERIDAN\\VEXA"
check HKLM "$programdata\\MERIDAN\\VEXA" --system

[ $failures -eq 0 ] || { echo "registration_test: $failures failures" >&2; exit 1; }
echo "registration_test: passed"
