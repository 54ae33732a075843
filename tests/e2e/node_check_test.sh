#!/usr/bin/env bash
# The set-up scripts' Node.js check: Playwright needs Node.js 20 or later, and
# Debian 12's own is 18. An older or missing node stops the browser part with
# advice on where to get a newer one; 20 and later pass.
set -uo pipefail
source "$(dirname "$0")/../../testbed/common.sh"
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
# The check's PATH holds only the fakes and cat, never the machine's node.
ln -s "$(command -v cat)" "$fake/cat"
fail() { echo "FAIL: $*"; exit 1; }

# check VERSION: runs the check with a node that reports VERSION ("" for no
# node at all) and an npm; prints its message, returns its status.
check() {
    rm -f "$fake/node"
    [ -z "$1" ] || printf '#!/bin/sh\necho %s\n' "$1" > "$fake/node"
    printf '#!/bin/sh\n' > "$fake/npm"
    chmod +x "$fake/npm" "$fake/node" 2>/dev/null
    PATH=$fake vexa_check_node 2>&1
}

for version in v20.0.0 v22.11.0 v100.1.2; do
    out=$(check "$version") || fail "$version refused: $out"
    [ -z "$out" ] || fail "$version: unexpected output: $out"
done
for version in v18.20.4 v8.0.0 "" garbage; do
    out=$(check "$version") && fail "'$version' accepted"
    grep -qF "need Node.js 20 or later" <<< "$out" || fail "'$version': no reason given: $out"
    grep -qF "NodeSource" <<< "$out" || fail "'$version': no advice on getting it: $out"
done
out=$(check v18.20.4)
grep -qF "this machine has Node.js v18.20.4" <<< "$out" || fail "the found version is not named: $out"
out=$(check "")
grep -qF "this machine has no Node.js" <<< "$out" || fail "a missing node is not named: $out"
echo "node_check_test passed"
