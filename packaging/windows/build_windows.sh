#!/usr/bin/env bash
# Builds VEXA for 64-bit Windows on Debian 12: vexa.exe, vexa-host.exe,
# vexa-rpcscd.exe, vexactapi.dll and the MSI, cross-compiled with MinGW-w64.
# Installs the cross compiler, Wine and wixl when they are missing (root or
# sudo). The MSI lands in OUT_DIR (default: BUILD_DIR/msi).
#
#   packaging/windows/build_windows.sh [BUILD_DIR [OUT_DIR]]
#
# BUILD_DIR defaults to build-windows in the tree. VEXA_TESTS=ON also builds
# the unit tests and the test bed's winscard stand-in.
set -euo pipefail
source "$(dirname "$0")/../../testbed/common.sh"

BUILD=${1:-$VEXA_ROOT/build-windows}
OUT=${2:-$BUILD/msi}
vexa_install_packages "${VEXA_WINDOWS_PACKAGES[@]}"
vexa_build "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$VEXA_ROOT/cmake/mingw-w64.cmake" -DVEXA_TESTS="${VEXA_TESTS:-OFF}"
vexa_log "Making the MSI"
bash "$VEXA_ROOT/packaging/windows/build_msi.sh" "$BUILD" "$OUT"
