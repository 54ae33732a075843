#include "cardaccess/tls_connector.h"

#include "cardaccess/tls_client_files.h"
#include "rpcsc/tls_stream.h"

namespace vexa {

std::optional<TlsConnector> makeTlsConnector(const TlsClientFiles& files, std::string& failure) {
    const auto pem = readTlsClientFiles(files, failure);
    if (!pem) return std::nullopt;
    auto context = TlsContext::clientFromTexts(*pem, failure);
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
