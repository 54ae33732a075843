#pragma once

#include <string>

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
};

} // namespace vexa
