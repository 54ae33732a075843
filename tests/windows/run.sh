#!/usr/bin/env bash
# The Windows build's tests under Wine, in one private Wine prefix:
# the unit tests, the native-messaging host (the Linux host test's messages),
# the host's registration, the card paths against the Linux test bed when one
# runs (VEXA_TESTBED_DIR), the refusal of TLS server entries, and the MSI's
# install and uninstall.
#
#   tests/windows/run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# Exit 77 (skipped) without wine.
set -uo pipefail
WIN=$(cd "${1:?usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd)
LINUX=$(cd "${2:?usage: run.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
command -v wine >/dev/null || { echo "windows tests: skipped, wine is not installed"; exit 77; }

source "$HERE/wine_prefix.sh"

work=$(mktemp -d)
# A prefix of its own, shared by every step.
unset WINEPREFIX
trap 'wine_prefix_end; rm -rf "$work"' EXIT
wine_prefix "windows tests" "$work"
appdata=$(winepath -u "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')" 2>/dev/null)

failed=()
# step NAME COMMAND...: runs one step, counts a failure, tells a skip (77).
step() {
    local name=$1 status=0 started=$SECONDS
    shift
    printf '\n-- %s\n' "$name"
    "$@" || status=$?
    case $status in
        0) echo "-- $name passed ($((SECONDS - started)) s)" ;;
        77) echo "-- $name skipped" ;;
        *) echo "-- $name FAILED (status $status)"; failed+=("$name") ;;
    esac
}

unit_tests() { wine "$WIN/tests/vexa_unit_tests.exe" --gtest_brief=1; }
host_test() {
    VEXA_HOST_RUNNER=wine VEXA_HOST_PROGRAM=$WIN/host/vexa-host.exe VEXA_HOST_CONFIG_HOME=$appdata \
        VEXA_HOST_NAME=$(sed -n 's/^VEXA_HOST_NAME=//p' "$WIN/packaging/windows/msi.env") \
        bash "$HERE/../e2e/host_test.sh" "$WIN/tools/vexa.exe"
}

step "unit tests under Wine" unit_tests
step "vexa-host.exe over its standard streams" host_test
step "vexa-host.exe register and unregister" bash "$HERE/registration_test.sh" "$WIN"
step "files in APPDATA, ProtocolDir from the registry" bash "$HERE/protocol_dir_test.sh" "$WIN"
step "cards under Wine" bash "$HERE/wine_card_tests.sh" "$WIN" "$LINUX"
step "vexa-rpcscd.exe serving the Linux build" bash "$HERE/server_test.sh" "$WIN" "$LINUX"
step "vexa.exe refusing a TLS server entry" bash "$HERE/tls_refusal_test.sh" "$WIN" "$LINUX"
step "the MSI under Wine" bash "$HERE/msi_test.sh" "$WIN"

[ ${#failed[@]} -eq 0 ] || { printf 'windows tests failed: %s\n' "${failed[*]}" >&2; exit 1; }
echo "windows tests passed"
