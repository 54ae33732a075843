# Shared by the demo and test scripts: packages and the build.
# Sourced, not run.

VEXA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VEXA_PACKAGES=(build-essential cmake pkg-config libpcsclite-dev pcscd vsmartcard-vpcd libssl-dev nlohmann-json3-dev
               libgtest-dev libbenchmark-dev clang libclang-rt-14-dev python3 openssl xxd)

vexa_log() { printf '\n== %s\n' "$*" >&2; }

# Installs the Debian packages that are missing; needs root only when some are.
vexa_install_packages() {
    local missing=()
    for p in "${VEXA_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    vexa_log "Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What the browser tests, demo and bench need: Debian's Chromium, Node.js
# (when there is none) and the pinned node packages of tests/browser.
vexa_install_browser() {
    local VEXA_PACKAGES=(chromium)
    command -v node >/dev/null || VEXA_PACKAGES+=(nodejs npm)
    vexa_install_packages
    (cd "$VEXA_ROOT/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
}

# vexa_build DIR [cmake options...]
vexa_build() {
    local dir=$1; shift
    vexa_log "Building in $dir $*"
    cmake -S "$VEXA_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
