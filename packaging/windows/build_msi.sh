#!/usr/bin/env bash
# Makes the Windows package OUT_DIR/vexa-<version>-x64.msi with wixl from a
# Windows build folder (cmake/mingw-w64.cmake, programs built):
#
#   packaging/windows/build_msi.sh BUILD_DIR OUT_DIR
#
# The WiX source and the facts (version, host name, file names) come from the
# build folder's packaging/windows, where CMake wrote them. The two host
# manifests (written to packaging/windows/manifests there) come from the build's own manifest writer, run with Wine, so they
# carry the build's extension ids; Wine runs in $WINEPREFIX, or without one in
# a prefix of its own that is removed afterwards. Prints the package's path.
set -euo pipefail

fail() { echo "build_msi: $*" >&2; exit 1; }
[ $# -eq 2 ] || { echo "usage: build_msi.sh BUILD_DIR OUT_DIR" >&2; exit 2; }
[ -d "$1" ] || fail "no build folder $1"
BUILD=$(cd "$1" && pwd)
OUT=$2
STAGE=$BUILD/packaging/windows
[ -f "$STAGE/msi.env" ] && [ -f "$STAGE/vexa.wxs" ] ||
    fail "$BUILD is no configured Windows build folder (no packaging/windows/msi.env)"
for tool in wixl wine winepath; do command -v "$tool" >/dev/null || fail "$tool is not installed"; done

VEXA_VERSION= VEXA_HOST_NAME= VEXA_HOST_MANIFEST=
while IFS='=' read -r key value; do
    case $key in VEXA_VERSION | VEXA_HOST_NAME | VEXA_HOST_MANIFEST) printf -v "$key" '%s' "$value" ;; esac
done < "$STAGE/msi.env"
[ -f "$VEXA_HOST_MANIFEST" ] || fail "no manifest writer $VEXA_HOST_MANIFEST (build the target vexa_host_manifest)"

work=$(mktemp -d)
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
    own_prefix=$work/wine
    export WINEPREFIX=$own_prefix
fi
cleanup() {
    if [ -n "$own_prefix" ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
export WINEDEBUG=${WINEDEBUG:--all}

# The host's path is relative to the manifest, which Chrome, Edge and Firefox
# allow on Windows: the host is found wherever the package was installed.
manifests=$STAGE/manifests
rm -rf "$manifests"
mkdir -p "$manifests"
write_manifest() { # BROWSER FILE
    wine "$VEXA_HOST_MANIFEST" "$1" vexa-host.exe "$(winepath -w "$2")" || fail "the manifest writer failed for $1"
    [ -s "$2" ] || fail "the manifest writer wrote no $2"
}
write_manifest chromium "$manifests/$VEXA_HOST_NAME.json"
write_manifest firefox "$manifests/$VEXA_HOST_NAME.firefox.json"

mkdir -p "$OUT"
msi=$(cd "$OUT" && pwd)/vexa-$VEXA_VERSION-x64.msi
# The WiX source names its files relative to the build folder.
(cd "$BUILD" && wixl -a x64 -o "$msi" "$STAGE/vexa.wxs") || fail "wixl failed"
echo "$msi"
