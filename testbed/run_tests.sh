#!/usr/bin/env bash
# Runs every test: unit, end-to-end and test-bed integration tests on a normal
# build, the Windows build's tests under Wine, the same again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzz target for a bounded time.
set -euo pipefail
source "$(dirname "$0")/common.sh"

FUZZ_SECONDS=${VEXA_FUZZ_SECONDS:-30}
BUILD=${VEXA_BUILD_DIR:-$VEXA_ROOT/build}

vexa_install_packages

vexa_build "$BUILD" -DVEXA_TESTS=ON
# The test bed (pcscd, vpcd, virtual cards) for the integration tests, taken
# down on every exit, failures included.
export VEXA_TESTBED_DIR=${VEXA_TESTBED_DIR:-/tmp/vexa-testbed} VEXA_TESTBED_REQUIRED=1
trap 'bash "$VEXA_ROOT/testbed/stop_testbed.sh"' EXIT
bash "$VEXA_ROOT/testbed/start_testbed.sh" "$BUILD"
vexa_use_testbed "$VEXA_TESTBED_DIR"
vexa_log "Tests"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
bash "$VEXA_ROOT/tests/browser/run.sh" "$BUILD"
# The Windows build, cross-compiled, its tests under Wine (the card paths
# against this test bed).
VEXA_TESTS=ON bash "$VEXA_ROOT/packaging/windows/build_windows.sh" "$BUILD-windows" >/dev/null
vexa_log "Windows tests under Wine"
bash "$VEXA_ROOT/tests/windows/run.sh" "$BUILD-windows" "$BUILD"
# Installs the packages on this machine: only with CI=true or VEXA_TEST_INSTALL=1.
bash "$VEXA_ROOT/tests/install/run.sh"

vexa_build "$BUILD-sanitize" -DVEXA_SANITIZE=ON -DVEXA_TESTS=ON
vexa_log "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$BUILD-sanitize" --output-on-failure -j"$(nproc)"

CC=clang CXX=clang++ vexa_build "$BUILD-fuzz" -DVEXA_FUZZ=ON
for target in "$BUILD-fuzz"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    vexa_log "Fuzzing $name for ${FUZZ_SECONDS}s"
    corpus=$(mktemp -d)
    seeds="$VEXA_ROOT/tests/fuzz/corpus/${name#fuzz_}"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
    (cd "$corpus" && "$target" -max_total_time="$FUZZ_SECONDS" -max_len=4096 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12)
    rm -rf "$corpus"
done

vexa_log "All tests passed"
