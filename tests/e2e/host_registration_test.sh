#!/usr/bin/env bash
# `vexa-host register` and `unregister` on a throwaway home: the manifests
# point at this very vexa-host, a failed registration leaves none behind,
# and unregistering removes them all.
set -euo pipefail
vexa=${1:?usage: host_registration_test.sh <path-to-vexa>}
source_root=$(cd "$(dirname "$0")/../.." && pwd)
host=${VEXA_HOST_PROGRAM:?ctest sets it to the vexa-host of the build}
[[ -x "$host" ]] || { echo "FAIL: no vexa-host at $host"; exit 1; }
source "$(dirname "$0")/throwaway_user.sh"
name=${VEXA_HOST_NAME:?ctest sets it to the host name of the build}

manifests=("$XDG_CONFIG_HOME/chromium/NativeMessagingHosts/$name.json"
           "$XDG_CONFIG_HOME/google-chrome/NativeMessagingHosts/$name.json"
           "$HOME/.mozilla/native-messaging-hosts/$name.json")
id=$(tr -d '[:space:]' < "$source_root/extension/extension_id.txt")

"$host" register || fail "register failed"
for m in "${manifests[@]}"; do
    [[ -f "$m" && $(stat -c %a "$m") == 644 ]] || fail "$m missing or not mode 644"
done
python3 - "$name" "$(readlink -f "$host")" "$id" "${manifests[@]}" <<'PY'
import json, sys
name, host, ext_id, *paths = sys.argv[1:]
for path in paths:
    m = json.load(open(path))
    want = {"name": name, "description": "VEXA chip-card access", "path": host, "type": "stdio"}
    want.update({"allowed_extensions": ["vexa@meridan.example"]} if ".mozilla" in path
                else {"allowed_origins": [f"chrome-extension://{ext_id}/"]})
    if m != want:
        sys.exit(f"FAIL: {path}: {m}")
PY

profile="$work/profile"
"$host" register --user-data-dir "$profile" || fail "register --user-data-dir failed"
[[ -f "$profile/NativeMessagingHosts/$name.json" ]] || fail "no manifest in the profile"
"$host" unregister --user-data-dir "$profile" || fail "unregister --user-data-dir failed"
[[ ! -e "$profile/NativeMessagingHosts/$name.json" ]] || fail "profile manifest left"
[[ -f "${manifests[0]}" ]] || fail "unregistering a profile touched the user's manifests"

"$host" unregister || fail "unregister failed"
for m in "${manifests[@]}"; do [[ ! -e "$m" ]] || fail "$m left after unregister"; done

# A file where Firefox's directory belongs: registration fails as a whole.
rm -rf "$HOME/.mozilla"
echo "in the way" > "$HOME/.mozilla"
status=0
"$host" register 2>"$work/err" || status=$?
[[ $status -eq 1 ]] || fail "failed registration exited $status"
grep -q "Error at mkdir for Firefox manifest (return code 20)" "$work/err" || fail "stderr: $(cat "$work/err")"
for m in "${manifests[@]}"; do [[ ! -e "$m" ]] || fail "$m left after a failed registration"; done
echo "host_registration_test passed"
