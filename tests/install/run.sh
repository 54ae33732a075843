#!/usr/bin/env bash
# Installs VEXA's Debian packages on this machine and uses them as a user
# would: Debian's Chromium and firefox-esr load the installed extension with
# a fresh profile and reach the installed host through the system's
# manifests; vexa-rpcscd starts once through its unit's command line. Then
# purges the packages and checks that nothing of theirs is left. The packages
# are removed on every exit, failures included.
#
# Changes the machine, so it runs only when asked (CI=true or
# VEXA_TEST_INSTALL=1) and only where no VEXA package or installed file is
# present already. Needs root (re-runs itself through sudo).
# VEXA_DEBS=DIR takes the .deb files from DIR instead of building them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../testbed/common.sh"

PACKAGES=(vexa vexa-rpcscd libvexa-ctapi1 libvexa-ctapi-dev)
# The host's name has its home in CMakeLists.txt.
HOST_MANIFEST=$(awk '/^set.VEXA_HOST_NAME / { sub(/.$/, "", $2); print $2 }' "$VEXA_ROOT/CMakeLists.txt").json
# What the packages put where the browsers look; none may survive a purge.
BROWSER_FILES=(
    /usr/share/chromium/extensions/vexa
    "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/vexa@meridan.example.xpi"
    "/etc/chromium/native-messaging-hosts/$HOST_MANIFEST"
    "/etc/opt/chrome/native-messaging-hosts/$HOST_MANIFEST"
    "/usr/lib/mozilla/native-messaging-hosts/$HOST_MANIFEST"
)
# A second extension for the browser test, beside ours. Its name sorts
# before "vexa", so Debian's start script lists ours second, and is short
# enough for that list (ls -m) to stay on one line, joined with ", ".
export VEXA_SECOND_EXTENSION=/usr/share/chromium/extensions/a-test

me=tests/install/run.sh
skip() { echo "$me: skipped: $*" >&2; exit 0; }
fail() { echo "$me: FAIL: $*" >&2; exit 1; }

if [ "${CI:-}" != true ] && [ "${VEXA_TEST_INSTALL:-}" != 1 ]; then
    skip "it installs packages on this machine; set VEXA_TEST_INSTALL=1 (CI=true does too) to run it"
fi
for p in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case $status in
        '' | *not-installed) ;;
        *) skip "package $p is on this machine already ($status); purging it afterwards would take it from its user" ;;
    esac
done
for f in "${BROWSER_FILES[@]}" "$VEXA_SECOND_EXTENSION"; do
    if [ -e "$f" ]; then skip "$f exists already (installed by hand?); the test would overwrite and then delete it"; fi
done
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=CI,VEXA_TEST_INSTALL,VEXA_DEBS,VEXA_TESTBED_DIR,PCSCLITE_CSOCK_NAME,VEXA_CHROMIUM,VEXA_FIREFOX \
        bash "$0" "$@"
fi

work=$(mktemp -d /tmp/vexa-install-test.XXXXXX)
cleanup() {
    local status=$?
    rm -rf "$VEXA_SECOND_EXTENSION"
    local installed=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv not-installed && installed+=("$p")
    done
    if [ ${#installed[@]} -gt 0 ]; then
        echo "$me: removing ${installed[*]}" >&2
        "${VEXA_APT_GET[@]}" purge -y -qq "${installed[@]}" >/dev/null || true
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT

debs=$work/debs
if [ -n "${VEXA_DEBS:-}" ]; then
    debs=$(cd "$VEXA_DEBS" && pwd)
else
    [ -f "$VEXA_ROOT/packaging/build_packages.sh" ] || fail "no packaging/build_packages.sh to build the packages with"
    vexa_log "Building the packages"
    mkdir -p "$debs"
    bash "$VEXA_ROOT/packaging/build_packages.sh" "$debs"
fi
# Only these: the build also leaves debug-symbol packages beside them.
files=()
for p in "${PACKAGES[@]}"; do
    found=("$debs/${p}"_*.deb)
    [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "not one ${p}_*.deb in $debs: ${found[*]}"
    files+=("${found[0]}")
done

# What the packages hold: their files, and the folders that are not here
# yet. The purge must take both away again.
for deb in "${files[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done | sed 's|^\./|/|' | sort -u >"$work/content"
grep -v '/$' "$work/content" >"$work/files" || true
sed -n 's|^\(/.*[^/]\)/$|\1|p' "$work/content" | while read -r dir; do
    [ -e "$dir" ] || echo "$dir"
done >"$work/new-dirs"

# What systemd's helpers keep about the unit is no file of the packages'.
systemd_state() { find /etc/systemd /var/lib/systemd -name '*vexa*' 2>/dev/null | sort; }
systemd_state >"$work/systemd-before"

vexa_log "Installing the packages"
"${VEXA_APT_GET[@]}" install -y -qq "${files[@]}"
for p in "${PACKAGES[@]}"; do
    dpkg -L "$p" >"$work/$p.list"
    echo "$me: $p installed $(grep -cxFf "$work/files" "$work/$p.list") files" >&2
done
for f in "${BROWSER_FILES[@]}"; do
    if [ ! -e "$f" ]; then fail "the packages did not install $f"; fi
done
# What users and administrators read.
for f in page-api.md vexa.d.ts policy/README.md README.Debian; do
    grep -qxF "/usr/share/doc/vexa/$f" "$work/vexa.list" || fail "vexa does not install /usr/share/doc/vexa/$f"
done

unit=$(dpkg -L vexa-rpcscd | grep -E '/systemd/system/vexa-rpcscd\.service$' | head -n1 || true)
[ -n "$unit" ] || fail "vexa-rpcscd brings no vexa-rpcscd.service"
# Installed disabled: nothing links the unit into a target.
enabled=$(find /etc/systemd/system -name vexa-rpcscd.service -path '*.wants/*' 2>/dev/null)
[ -z "$enabled" ] || fail "vexa-rpcscd.service is enabled by the install: $enabled"

vexa_log "The installed extension in the browsers"
testbed=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}
# The test bed's pcscd may live in a namespace of its own; the hosts find it
# through this.
if [ -f "$testbed/env" ]; then source "$testbed/env"; fi
vexa_install_browser
node_flags=()
node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' || node_flags+=(--experimental-websocket)
(cd "$here" && node "${node_flags[@]}" --test --test-concurrency=1 --test-timeout=120000 installed.test.js)

vexa_log "vexa-rpcscd through $unit"
# The unit's command line with its environment, as systemd would run it: the
# last ExecStart, prefixes such as "-" dropped, variables from
# Environment= and the EnvironmentFile= files that exist.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit" | tail -n1)
while [[ $exec_start =~ ^[-@:+!] ]]; do exec_start=${exec_start:1}; done
[ -n "$exec_start" ] || fail "$unit has no ExecStart"
env_script=$(
    sed -n 's/^Environment=\(.*\)/export \1/p' "$unit"
    sed -n 's/^EnvironmentFile=-\{0,1\}\(.*\)/\1/p' "$unit" | while read -r file; do
        if [ -f "$file" ]; then printf 'set -a; source %q; set +a\n' "$file"; fi
    done
)
echo "$me: ExecStart=$exec_start" >&2
log=$work/rpcscd.log
# In a network namespace of its own the unit's port is free even beside the
# test bed's vexa-rpcscd, and nothing from outside reaches the server.
# shellcheck disable=SC2016 # expanded by the inner shell
# Not -u: like systemd, an unset variable stands for nothing.
unshare --net bash -eo pipefail -c '
    log=$3
    ip link set lo up
    eval "$1"
    eval "set -- $2"
    "$@" </dev/null >>"$log" 2>&1 &
    pid=$!
    listening() { ss -Hltnp | awk -v p="pid=$pid," "index(\$0, p) { print \$4; exit }"; }
    for _ in $(seq 100); do
        address=$(listening)
        [ -n "$address" ] || ! kill -0 "$pid" 2>/dev/null && break
        sleep 0.1
    done
    if [ -z "$address" ]; then
        echo "vexa-rpcscd does not listen; its output:" >&2
        cat "$log" >&2
        exit 1
    fi
    port=${address##*:}
    case $address in \[*) peer=::1 ;; *) peer=127.0.0.1 ;; esac
    echo "vexa-rpcscd listens on $address" >&2
    exec 3<>"/dev/tcp/$peer/$port"
    for _ in $(seq 100); do grep -q "Connection from" "$log" && break; sleep 0.1; done
    grep -q "Connection from" "$log" || { echo "vexa-rpcscd took no connection; its output:" >&2; cat "$log" >&2; exit 1; }
    exec 3>&-
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || { echo "vexa-rpcscd ended with $status on SIGTERM; its output:" >&2; cat "$log" >&2; exit 1; }
' rpcscd "$env_script" "$exec_start" "$log" || fail "vexa-rpcscd did not run from its unit's command line"
sed 's/^/    /' "$log" >&2
# The reload's first step checks the files with the same options.
exec_check=$(sed -n 's/^ExecReload=//p' "$unit" | head -n1)
[[ $exec_check == *" --check "* ]] || fail "$unit's reload checks nothing first: $exec_check"
bash -eo pipefail -c 'eval "$1"; eval "set -- $2"; "$@"' check "$env_script" "$exec_check" >&2 ||
    fail "the unit's reload check fails on the installed files: $exec_check"

vexa_log "Purging the packages"
"${VEXA_APT_GET[@]}" purge -y -qq "${PACKAGES[@]}"
left=()
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done < <(cat "$work/files"; printf '%s\n' "${BROWSER_FILES[@]}")
while read -r dir; do
    # A folder another package has taken over meanwhile stays rightly.
    if [ -e "$dir" ] && ! dpkg -S "$dir" >/dev/null 2>&1; then left+=("$dir/"); fi
done <"$work/new-dirs"
while read -r path; do left+=("$path"); done < <(systemd_state | comm -13 "$work/systemd-before" -)
[ ${#left[@]} -eq 0 ] || fail "the purge left: ${left[*]}"
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -qv not-installed && fail "$p is still known to dpkg after the purge"
done

vexa_log "Install test passed"
