#!/usr/bin/env bash
# Remakes the certificates of x509_certificate_test.cpp with a Linux build's
# vexa-rpcscd and openssl; the keys are thrown away. The test checks them at
# a fixed time inside their lifetimes: after a remake, set kMade there to the
# day printed here.
#
#   tests/unit/x509/make.sh LINUX_BUILD_DIR
set -euo pipefail
server=$(cd "${1:?usage: make.sh LINUX_BUILD_DIR}" && pwd)/server/vexa-rpcscd
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$server" certs init "$work/ours" --address 127.0.0.1 >/dev/null 2>&1
"$server" certs client "$work/ours" alice >/dev/null 2>&1
"$server" certs init "$work/other" --address 127.0.0.1 >/dev/null 2>&1
# A certificate for 127.0.0.1 that alice's (no CA) key signed.
openssl req -new -key "$work/ours/alice.key" -subj /CN=127.0.0.1 -out "$work/by-alice.csr" 2>/dev/null 2>&1
openssl x509 -req -in "$work/by-alice.csr" -CA "$work/ours/alice.pem" -CAkey "$work/ours/alice.key" -days 730 \
    -extfile <(printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n') -out "$work/by-alice.pem" 2>/dev/null 2>&1
cp "$work/ours/ca.pem" "$here/ca.pem"
cp "$work/ours/server-127.0.0.1.pem" "$here/server-127.0.0.1.pem"
cp "$work/ours/alice.pem" "$here/alice.pem"
cp "$work/other/ca.pem" "$here/other-ca.pem"
cp "$work/other/server-127.0.0.1.pem" "$here/other-server-127.0.0.1.pem"
cp "$work/by-alice.pem" "$here/by-alice.pem"
openssl x509 -noout -startdate -enddate -in "$here/server-127.0.0.1.pem"
