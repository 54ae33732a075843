#!/usr/bin/env bash
# The demo: builds VEXA, then Debian's Chromium with the extension opens the
# example page testbed/demo/index.html from a local server, answers the site
# question with OK and runs a few methods through vexa-host, cards and events
# on the test bed included. The host is
# registered in a throwaway Chromium profile and uses a throwaway config home,
# so nothing of the user's changes. Prints the transcript and saves
# screenshots in the build directory.
set -euo pipefail
source "$(dirname "$0")/common.sh"

BUILD=${VEXA_BUILD_DIR:-$VEXA_ROOT/build}
vexa_install_packages
vexa_install_browser
vexa_build "$BUILD" -DVEXA_TESTS=OFF

# The test bed (pcscd, virtual readers and cards) for the card calls of the
# page and for the card demo; taken down on every exit.
export VEXA_TESTBED_DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed}
trap 'bash "$VEXA_ROOT/testbed/stop_testbed.sh"' EXIT
bash "$VEXA_ROOT/testbed/start_testbed.sh" "$BUILD"
vexa_use_testbed "$VEXA_TESTBED_DIR"

vexa_log "The example page in Chromium, through the extension and vexa-host"
VEXA_BUILD_DIR=$BUILD node "$VEXA_ROOT/testbed/demo/browser_demo.mjs" "$BUILD"

vexa_log "Card work on the test bed (pcscd with virtual readers and cards) through vexa shell"
bash "$VEXA_ROOT/testbed/card_demo.sh" "$BUILD"
