// A TLS server reads its clients file at the start and on every reload; a
// bad edit must be refused, never misread.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/tls_clients.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexa::rpcsc;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ClientsFileError error;
    const auto clients = TlsClients::parse(text, error);
    if (!clients) {
        // A refusal names a line of the text.
        if (error.line == 0 || error.reason.empty()) std::abort();
        return 0;
    }
    // Each fingerprint taken reads back in openssl's form and as itself.
    const auto fingerprint = canonicalFingerprint(text.substr(0, 64));
    if (fingerprint) {
        if (canonicalFingerprint(fingerprintLine(*fingerprint).substr(19)) != fingerprint) std::abort();
        // A grant of every reader admits any name at all.
        if (const auto grant = clients->grantFor(*fingerprint); grant && grant->allReaders() && !grant->admits(text))
            std::abort();
    }
    return 0;
}
