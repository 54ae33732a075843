#!/usr/bin/env bash
# The Windows package installs and uninstalls cleanly under Wine: builds the
# MSI from a Windows build folder, installs it in a Wine prefix of the test's
# own, checks the files, the host manifests, the browsers' four keys and that
# the installed vexa.exe answers its version, then uninstalls and checks that
# no file, folder or key is left.
#
#   tests/windows/msi_test.sh WINDOWS_BUILD_DIR
#
# Exit 77 (skipped) without wine or wixl.
set -uo pipefail

BUILD=${1:?usage: msi_test.sh WINDOWS_BUILD_DIR}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
for tool in wine wineboot wineserver winepath wixl python3; do
    command -v "$tool" >/dev/null || { echo "msi_test: skipped, $tool is not installed"; exit 77; }
done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

source "$(dirname "$0")/wine_prefix.sh"
work=$(mktemp -d)
# Always a fresh prefix, whose wineserver ends with its last program (the
# registry check waits for that): the install must find nothing of an
# earlier one.
export WINEPREFIX=$work/wine WINEDEBUG=-all
cleanup() {
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

VEXA_VERSION= VEXA_HOST_NAME= VEXA_CTAPI_FILE=
while IFS='=' read -r key value; do
    case $key in VEXA_VERSION | VEXA_HOST_NAME | VEXA_CTAPI_FILE) printf -v "$key" '%s' "$value" ;; esac
done < "$BUILD/packaging/windows/msi.env" || { echo "msi_test: $BUILD is no Windows build folder" >&2; exit 1; }

wineboot -i >/dev/null 2>&1 || { echo "msi_test: wineboot failed" >&2; exit 1; }
msi=$(bash "$ROOT/packaging/windows/build_msi.sh" "$BUILD" "$work/out") || { echo "msi_test: no MSI" >&2; exit 1; }
[ "$(basename "$msi")" = "vexa-$VEXA_VERSION-x64.msi" ] || fail "package named $(basename "$msi")"
msi_win=$(winepath -w "$msi")

DIR="$WINEPREFIX/drive_c/Program Files/MERIDAN/VEXA"
DIR_WIN='C:\Program Files\MERIDAN\VEXA'
FILES=(vexa.exe vexa-host.exe vexa-rpcscd.exe "$VEXA_CTAPI_FILE" "$VEXA_HOST_NAME.json" "$VEXA_HOST_NAME.firefox.json")
# Key and the manifest its default value names.
KEYS=("Software\\Google\\Chrome\\NativeMessagingHosts\\$VEXA_HOST_NAME=$VEXA_HOST_NAME.json"
      "Software\\Microsoft\\Edge\\NativeMessagingHosts\\$VEXA_HOST_NAME=$VEXA_HOST_NAME.json"
      "Software\\Chromium\\NativeMessagingHosts\\$VEXA_HOST_NAME=$VEXA_HOST_NAME.json"
      "Software\\Mozilla\\NativeMessagingHosts\\$VEXA_HOST_NAME=$VEXA_HOST_NAME.firefox.json")


# A manifest's field as JSON text.
manifest_field() { python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))[sys.argv[2]]))' "$@"; }

wine msiexec /i "$msi_win" /qn || fail "msiexec /i exited with $?"
for f in "${FILES[@]}"; do [ -s "$DIR/$f" ] || fail "not installed: $f"; done
ok "installed files"

chromium=$DIR/$VEXA_HOST_NAME.json
firefox=$DIR/$VEXA_HOST_NAME.firefox.json
for m in "$chromium" "$firefox"; do
    [ "$(manifest_field "$m" name)" = "\"$VEXA_HOST_NAME\"" ] || fail "$m: name"
    # The host's path is relative to the manifest's folder.
    path=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["path"])' "$m")
    [ -f "$DIR/$path" ] || fail "$m: path $path is no installed file"
done
manifest_field "$chromium" allowed_origins | grep -q '"chrome-extension://[a-p]\{32\}/"' ||
    fail "chromium manifest admits $(manifest_field "$chromium" allowed_origins)"
manifest_field "$firefox" allowed_extensions | grep -q '@\|{' ||
    fail "firefox manifest admits $(manifest_field "$firefox" allowed_extensions)"
ok "host manifests"

for entry in "${KEYS[@]}"; do
    key=${entry%%=*}
    value=$(registry_default "HKLM\\$key") || { fail "no key HKLM\\$key"; continue; }
    [ "$value" = "$DIR_WIN\\${entry#*=}" ] || fail "HKLM\\$key names $value"
done
ok "host keys"

# Nothing in the package may set the protocol folder: it would switch every
# user's log on.
wineserver -w
grep -qi protocoldir "$WINEPREFIX"/*.reg && fail "a ProtocolDir value is in the registry"

version=$(wine "$DIR_WIN\\vexa.exe" --version 2>&1 | tr -d '\r')
grep -qF "$VEXA_VERSION" <<< "$version" || fail "vexa.exe --version answered: $version"
ok "vexa.exe --version: $version"

wine msiexec /x "$msi_win" /qn || fail "msiexec /x exited with $?"
[ -e "$WINEPREFIX/drive_c/Program Files/MERIDAN" ] && fail "left behind: $(find "$WINEPREFIX/drive_c/Program Files/MERIDAN")"
for entry in "${KEYS[@]}"; do
    key=${entry%%=*}
    wine reg query "HKLM\\$key" /reg:64 >/dev/null 2>&1 && fail "key left: HKLM\\$key"
done
ok "uninstalled"

[ $failures -eq 0 ] || { echo "msi_test: $failures failures" >&2; exit 1; }
echo "msi_test: passed"
