#include "cardaccess/tls_connector.h"

#include "platform/file.h"
#include "rpcsc/tls_stream.h"
#include "support/file_trust.h"

namespace vexa {
namespace {

// Whether the key may be used: it stays this user's secret only when no one
// else owns or may read it.
bool keyTrusted(const std::string& path, std::string& failure) {
    const platform::File file = platform::File::open(path, platform::FileAccess::Read);
    if (!file.valid()) {
        failure = "cannot read the key " + path;
        return false;
    }
    const std::string why = distrustOfPrivateKey(file);
    if (!why.empty()) failure = "the key " + path + " " + why;
    return why.empty();
}

} // namespace

std::optional<TlsConnector> makeTlsConnector(const TlsClientFiles& files, std::string& failure) {
    if (!keyTrusted(files.key, failure)) return std::nullopt;
    auto context = TlsContext::client({files.certificate, files.key, files.ca}, failure);
    if (!context) return std::nullopt;
    auto shared = std::make_shared<const TlsContext>(std::move(*context));
    return
        [shared](std::string_view host, std::uint16_t port, std::int32_t timeoutMs, std::unique_ptr<ByteStream>& stream,
                 std::string& why) { return TlsStream::connect(*shared, host, port, timeoutMs, stream, why); };
}

std::optional<std::string> certificateFingerprint(const std::string& path, std::string& failure) {
    const auto certificate = readCertificateFile(path, failure);
    if (!certificate) return std::nullopt;
    return certificate->fingerprintHex;
}

} // namespace vexa
