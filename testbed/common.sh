# Shared by the demo and test scripts: packages and the build.
# Sourced, not run.

VEXA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$VEXA_ROOT/packaging/apt_get.sh"
# Names every supported Debian release knows: libclang-rt-dev follows the
# release's default clang (14 on Debian 12, 19 on Debian 13).
VEXA_PACKAGES=(build-essential cmake pkg-config libpcsclite-dev pcscd vsmartcard-vpcd libssl-dev nlohmann-json3-dev
               libgtest-dev libbenchmark-dev clang libclang-rt-dev python3 openssl xxd iproute2)

# The Windows build: MinGW-w64 (posix threads) cross-compiles, Wine runs the
# programs and tests, wixl makes the MSI; GoogleTest's sources build for Windows.
VEXA_WINDOWS_PACKAGES=(cmake g++-mingw-w64-x86-64-posix wine wine64 wixl googletest nlohmann-json3-dev python3)

vexa_log() { printf '\n== %s\n' "$*" >&2; }

# Installs the Debian packages that are missing (those named, else the
# Linux build's); needs root only when some are.
vexa_install_packages() {
    local missing=() wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${VEXA_PACKAGES[@]}")
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    vexa_log "Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo "${VEXA_APT_GET[@]}" update -qq
    $sudo "${VEXA_APT_GET[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# Playwright needs Node.js 20 or later; Debian 12's own nodejs is 18, and
# bookworm-backports has none. Says so and fails when node is older or missing.
vexa_check_node() {
    local version major
    version=$(node --version 2>/dev/null) || version=
    major=${version#v}
    major=${major%%.*}
    if [[ "$major" =~ ^[0-9]+$ ]] && [ "$major" -ge 20 ] && command -v npm >/dev/null; then
        return 0
    fi
    if [ -n "$version" ] && [ "$major" -ge 20 ] 2>/dev/null; then
        version="Node.js $version without npm"
    else
        version=${version:+Node.js $version}
    fi
    cat >&2 <<MESSAGE

The browser tests, the demo and the browser benches need Node.js 20 or later
with npm (for Playwright); this machine has ${version:-no Node.js}.
Debian 12's own nodejs package is 18, and bookworm-backports has no newer one.
Install Node.js 20 or later, e.g. the nodejs package of NodeSource's Debian
repository (20.x or later), or with nvm (nvm install 20) or with n
(apt-get install npm && npm install -g n && n 20), then run this again.
MESSAGE
    return 1
}

# What the browser tests, demo and bench need: Debian's Chromium, Node.js 20
# or later and the pinned node packages of tests/browser.
vexa_install_browser() {
    local VEXA_PACKAGES=(chromium)
    vexa_install_packages
    vexa_check_node || return 1
    (cd "$VEXA_ROOT/tests/browser" && npm ci --no-audit --no-fund --loglevel=error)
}

# The socket of the test bed's pcscd (testbed/start_testbed.sh) in folder DIR.
vexa_testbed_socket() { printf '%s/run/pcscd/pcscd.comm' "$1"; }

# Points this shell's PC/SC clients, and every program it starts, at the pcscd
# of the test bed in DIR, unless PCSCLITE_CSOCK_NAME names one already.
# pcsc-lite reads the variable once per process.
vexa_use_testbed() {
    local dir
    dir=$(cd "$1" 2>/dev/null && pwd) || dir=$1
    export PCSCLITE_CSOCK_NAME=${PCSCLITE_CSOCK_NAME:-$(vexa_testbed_socket "$dir")}
}

# vexa_build DIR [cmake options...]
vexa_build() {
    local dir=$1; shift
    vexa_log "Building in $dir $*"
    cmake -S "$VEXA_ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
