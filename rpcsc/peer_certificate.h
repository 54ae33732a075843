#pragma once

#include <string>
#include <vector>

namespace vexa {

// What a secured stream learnt of its peer's certificate in the handshake.
struct PeerCertificate {
    // The SHA-256 fingerprint as `openssl x509 -fingerprint -sha256` prints
    // it: 32 upper-case hex pairs joined by colons.
    std::string fingerprint;
    // The same 64 hex digits without colons, the form to compare and store.
    std::string fingerprintHex;
    // The subject on one line ("CN = alice, O = Example"), control
    // characters and non-ASCII bytes escaped, so it is safe in a log line.
    std::string subject;
    // The certificate in DER, then the others the peer sent with it, so that
    // it can be judged again by a CA loaded later; empty where not kept.
    std::vector<std::string> chain;
};

} // namespace vexa
