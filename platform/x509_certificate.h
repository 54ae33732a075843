#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// X.509 certificates through the system's own certificate library. Built on
// Windows only: on Linux the TLS code reads certificates through OpenSSL.
namespace vexa::platform {

// A certificate's DER encoding.
using CertificateDer = std::vector<std::uint8_t>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// The first certificate of a PEM text ("-----BEGIN CERTIFICATE-----");
// none with failure saying why.
std::optional<CertificateDer> certificateFromPem(std::string_view pem, std::string& failure);

// The SHA-256 digest of a certificate's DER bytes (its fingerprint); none
// when the system's hash fails.
std::optional<Sha256Digest> certificateSha256(std::span<const std::uint8_t> der);

// The subject on one line ("CN=alice, O=Example"); empty when the bytes are
// no certificate.
std::string certificateSubject(std::span<const std::uint8_t> der);

// Why a TLS server's certificate is refused, empty when it passes: it must
// be signed by the CA certificate (one level, no intermediates), the CA
// must be a CA, both must be valid at `at`, and the server's certificate
// must name `address` (a dotted IPv4 or an IPv6 address) as an IP address
// subjectAltName.
std::string serverCertificateRefusal(std::span<const std::uint8_t> server, std::span<const std::uint8_t> ca,
                                     std::string_view address, std::chrono::system_clock::time_point at);

} // namespace vexa::platform
