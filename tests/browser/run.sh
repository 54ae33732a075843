#!/usr/bin/env bash
# Runs the browser tests: Debian's Chromium loads the extension that a build
# made (BUILD_DIR/extension) and talks to that build's vexa-host. Installs
# Chromium (and Node.js when there is none) and the pinned node packages
# first. Also tries firefox-esr for the Firefox smoke test, which skips when
# it cannot have it.
# Usage: tests/browser/run.sh [BUILD_DIR]   (default: $VEXA_BUILD_DIR, else build/)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../testbed/common.sh"

export VEXA_BUILD_DIR=${1:-${VEXA_BUILD_DIR:-$VEXA_ROOT/build}}
if [ ! -x "$VEXA_BUILD_DIR/host/vexa-host" ] || [ ! -f "$VEXA_BUILD_DIR/extension/manifest.json" ]; then
    echo "tests/browser/run.sh: no vexa-host or extension in $VEXA_BUILD_DIR; build first" >&2
    exit 1
fi
# The tests run from their own folder: a relative build directory would miss.
VEXA_BUILD_DIR=$(cd "$VEXA_BUILD_DIR" && pwd)

vexa_install_browser
# Chromium, and so vexa-host, reach the test bed's pcscd through the
# environment they inherit.
[ -z "${VEXA_TESTBED_DIR:-}" ] || vexa_use_testbed "$VEXA_TESTBED_DIR"
(VEXA_PACKAGES=(firefox-esr); vexa_install_packages) || echo "tests/browser/run.sh: no firefox-esr; its test skips" >&2
cd "$here"
# The Firefox test speaks WebDriver BiDi over Node's own WebSocket, behind a
# flag before Node.js 22.
node_flags=()
node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' || node_flags+=(--experimental-websocket)
vexa_log "Browser tests (Chromium $(/usr/bin/chromium --version 2>/dev/null | awk '{print $2}'))"
node "${node_flags[@]}" --test --test-concurrency=1 --test-timeout=120000
