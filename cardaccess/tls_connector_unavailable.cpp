// TLS for a build without a TLS library (Windows): TLS servers are refused.
#include "cardaccess/tls_connector.h"

namespace vexa {
namespace {

constexpr std::string_view kUnavailable = "this Windows build has no TLS";

} // namespace

std::optional<TlsConnector> makeTlsConnector(const TlsClientFiles&, std::string& failure) {
    failure = std::string(kUnavailable);
    return std::nullopt;
}

std::optional<std::string> certificateFingerprint(const std::string&, std::string& failure) {
    failure = std::string(kUnavailable);
    return std::nullopt;
}

} // namespace vexa
