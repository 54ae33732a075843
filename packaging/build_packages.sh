#!/usr/bin/env bash
# Builds VEXA's Debian packages into OUTDIR and checks them with lintian:
#   bash packaging/build_packages.sh OUTDIR
# Installs the Debian build tools and build dependencies it lacks (root or
# sudo), builds from a copy of the source tree, so the tree keeps no build
# litter, and prints the paths of the .deb files and lintian's tags. Fails on
# a build failure or a lintian error.
set -euo pipefail

if [[ $# -ne 1 || $1 == -* ]]; then
    echo "usage: bash packaging/build_packages.sh OUTDIR" >&2
    exit 2
fi
source_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$source_root/packaging/apt_get.sh"
mkdir -p "$1"
outdir=$(cd "$1" && pwd)

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "build_packages.sh: installing build tools needs root: $*" >&2
        exit 1
    fi
}

# apt needs its package lists; on a fresh machine they are empty, and trying
# first would only print alarming errors. Read them once, before the first
# install of this run.
lists_read=false
apt_get() {
    if ! $lists_read; then
        as_root "${VEXA_APT_GET[@]}" update -qq
        lists_read=true
    fi
    as_root "${VEXA_APT_GET[@]}" -y --no-install-recommends "$@"
}

tools=(dpkg-dev debhelper fakeroot lintian build-essential)
missing=()
for package in "${tools[@]}"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "== installing ${missing[*]}"
    apt_get install "${missing[@]}"
fi

work=$(mktemp -d /tmp/vexa-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -l "$source_root/debian/changelog" -S Version)
copy=$work/vexa-$version
mkdir -p "$copy"
# The tree as it is, uncommitted changes included, without build folders.
if git -C "$source_root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_root" && git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$copy"
else
    tar -C "$source_root" --exclude='./build*' --exclude=./.git --exclude=node_modules -cf - . | tar -xf - -C "$copy"
fi

if ! (cd "$copy" && dpkg-checkbuilddeps >/dev/null 2>&1); then
    echo "== installing the build dependencies"
    apt_get build-dep "$copy"
fi

echo "== building the packages"
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)}
(cd "$copy" && dpkg-buildpackage --build=binary --no-sign)

changes=$(ls "$work"/*.changes)
for file in "$work"/*.deb "$work"/*.ddeb "$work"/*.buildinfo "$changes"; do
    [[ -e $file ]] && mv -f "$file" "$outdir"/
done
echo "== packages"
ls "$outdir"/vexa_"$version"_*.deb "$outdir"/vexa-rpcscd_"$version"_*.deb \
    "$outdir"/libvexa-ctapi1_"$version"_*.deb "$outdir"/libvexa-ctapi-dev_"$version"_*.deb
echo "== debug symbols (for debuggers only; users need not install them)"
ls "$outdir"/*-dbgsym_"$version"_*.*deb 2>/dev/null || echo "(none)"

echo "== lintian"
lintian --display-info --fail-on error "$outdir/$(basename "$changes")"
echo "== lintian: no errors"
