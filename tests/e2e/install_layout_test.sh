#!/usr/bin/env bash
# `cmake --install` of this build into a staging folder: the programs and the
# CT-API driver with its soname and only the CT-API exported, the extension
# for Chromium (with the key whose id the host manifests admit) and Firefox
# (an .xpi named after the gecko id the manifest admits), host manifests that
# name the installed host, every man page, and no test or bench program.
# Chromium's start-script snippet must rejoin a ", "-separated folder list.
set -euo pipefail
vexa=${1:?usage: install_layout_test.sh <path-to-vexa>}
build=$(cd "$(dirname "$vexa")/.." && pwd)
source_root=$(cd "$(dirname "$0")/../.." && pwd)
[[ -f "$build/CMakeCache.txt" ]] || { echo "FAIL: $build is no build folder"; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

DESTDIR=$stage cmake --install "$build" >/dev/null || fail "cmake --install failed"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
root=$stage$prefix

for program in bin/vexa bin/vexa-host sbin/vexa-rpcscd; do
    [[ -x $root/$program ]] || fail "$program not installed"
done
if find "$stage" -name 'vexa-card' -o -name '*_bench' -o -name '*_tests' | grep -q .; then
    fail "test or bench programs installed"
fi

lib=$root/$libdir/libvexa-ctapi.so
[[ -L $lib && -L $lib.1 && -f $(readlink -f "$lib.1") ]] || fail "libvexa-ctapi.so, .so.1 not links to the library"
soname=$(objdump -p "$lib.1" | awk '$1 == "SONAME" { print $2 }')
[[ $soname == libvexa-ctapi.so.1 ]] || fail "soname '$soname'"
exports=$(nm -D --defined-only "$lib.1" | awk '{ print $3 }' | sort | tr '\n' ' ')
[[ $exports == "CT_close CT_data CT_init " ]] || fail "exports: $exports"

for page in "$source_root"/man/*.[0-9]; do
    [[ -e $page ]] || continue
    name=$(basename "$page")
    [[ -f $root/share/man/man${name##*.}/$name ]] || fail "man page $name not installed"
done

# The extension's id, derived here independently of the build: the first 32
# hex digits of SHA-256 over the DER key, 0-f written a-p.
python3 - "$stage" "$prefix/bin/vexa-host" "${VEXA_HOST_NAME:?ctest sets it to the host name of the build}" <<'PY' || exit 1
import base64, glob, hashlib, json, os, sys, zipfile
stage, host, host_name = sys.argv[1:]
def fail(text):
    sys.exit(f"FAIL: {text}")
def read_json(path):
    try:
        return json.load(open(stage + path))
    except OSError as e:
        fail(f"{path}: {e}")

extension = "/usr/share/chromium/extensions/vexa"
manifest = read_json(extension + "/manifest.json")
icons = list(manifest["icons"].values())
for name in [s for entry in manifest["content_scripts"] for s in entry["js"]] + [manifest["background"]["service_worker"]] + icons:
    if not os.path.isfile(f"{stage}{extension}/{name}"):
        fail(f"extension file {name} missing")
digest = hashlib.sha256(base64.b64decode(manifest["key"])).hexdigest()[:32]
ext_id = "".join(chr(ord("a") + int(c, 16)) for c in digest)

xpis = glob.glob(stage + "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/*.xpi")
if len(xpis) != 1:
    fail(f"xpi files: {xpis}")
with zipfile.ZipFile(xpis[0]) as xpi:
    gecko = json.loads(xpi.read("manifest.json"))
    if "key" in gecko:
        fail("the xpi's manifest has a Chromium key")
    for name in gecko["background"]["scripts"] + list(gecko["icons"].values()):
        xpi.getinfo(name)
gecko_id = gecko["browser_specific_settings"]["gecko"]["id"]
if os.path.basename(xpis[0]) != gecko_id + ".xpi":
    fail(f"{xpis[0]} is not named after {gecko_id}")

common = {"name": host_name, "description": "VEXA chip-card access", "path": host, "type": "stdio"}
chromium = dict(common, allowed_origins=[f"chrome-extension://{ext_id}/"])
for path, want in [(f"/etc/chromium/native-messaging-hosts/{host_name}.json", chromium),
                   (f"/etc/opt/chrome/native-messaging-hosts/{host_name}.json", chromium),
                   (f"/usr/lib/mozilla/native-messaging-hosts/{host_name}.json",
                    dict(common, allowed_extensions=[gecko_id]))]:
    if read_json(path) != want:
        fail(f"{path}: {read_json(path)}, want {want}")
PY

# Debian's "extensions" snippet joins the folders with ", "; ours must leave
# one --load-extension word naming them all, and touch nothing else.
snippet=$stage/etc/chromium.d/vexa-extensions
[[ -f $snippet ]] || fail "no /etc/chromium.d snippet"
joined=$(CHROMIUM_FLAGS="--a --load-extension=/usr/share/chromium/extensions/aa, /usr/share/chromium/extensions/vexa --b x, y" \
    sh -c '. "$1"; printf "%s" "$CHROMIUM_FLAGS"' sh "$snippet")
[[ $joined == "--a --load-extension=/usr/share/chromium/extensions/aa,/usr/share/chromium/extensions/vexa --b x, y" ]] ||
    fail "snippet gives '$joined'"
echo "PASS"
