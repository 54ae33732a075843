#include "platform/x509_certificate.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <type_traits>

#include "platform/ip_address.h"
#include "platform/windows/certificate_context.h"
#include "platform/windows/pem_block.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

struct LocalFreeDeleter {
    void operator()(void* memory) const noexcept { ::LocalFree(memory); }
};
struct AlgorithmClose {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const noexcept { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
};
struct HashDestroy {
    void operator()(BCRYPT_HASH_HANDLE hash) const noexcept { ::BCryptDestroyHash(hash); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalFreeDeleter>;

// An extension of the certificate decoded as structType; null when the
// certificate has none or it does not decode.
template <typename T>
Decoded<T> decodedExtension(const CERT_INFO* info, const char* oid, LPCSTR structType) {
    const CERT_EXTENSION* extension = ::CertFindExtension(oid, info->cExtension, info->rgExtension);
    if (!extension) return {};
    void* decoded = nullptr;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, structType, extension->Value.pbData, extension->Value.cbData,
                               CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
        return {};
    return Decoded<T>(static_cast<T*>(decoded));
}

FILETIME fileTimeOf(std::chrono::system_clock::time_point at) {
    // FILETIME counts 100 ns from 1601-01-01, the system clock from 1970.
    constexpr std::int64_t kFrom1601To1970 = 116444736000000000;
    const auto ticks =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(at.time_since_epoch())
            .count() +
        kFrom1601To1970;
    const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(ticks, 0));
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

std::string validityRefusal(const CERT_INFO* info, const FILETIME& at, std::string_view whose) {
    const LONG position = ::CertVerifyTimeValidity(const_cast<FILETIME*>(&at), const_cast<CERT_INFO*>(info));
    if (position < 0) return std::string(whose) + " is not valid yet";
    if (position > 0) return std::string(whose) + " has expired";
    return {};
}

std::string caRefusal(const CERT_INFO* ca) {
    const auto constraints =
        decodedExtension<CERT_BASIC_CONSTRAINTS2_INFO>(ca, szOID_BASIC_CONSTRAINTS2, X509_BASIC_CONSTRAINTS2);
    if (!constraints || !constraints->fCA) return "the configured CA certificate is no CA";
    BYTE usage = 0;
    if (::CertGetIntendedKeyUsage(X509_ASN_ENCODING, const_cast<CERT_INFO*>(ca), &usage, 1) &&
        (usage & CERT_KEY_CERT_SIGN_KEY_USAGE) == 0)
        return "the configured CA certificate may not sign certificates";
    return {};
}

// A certificate without extended key usages may serve any purpose; one
// with them must name TLS servers (a user's client certificate from the
// same CA must not pass for a server).
bool servesTlsServers(const CERT_INFO* server) {
    const auto usages = decodedExtension<CERT_ENHKEY_USAGE>(server, szOID_ENHANCED_KEY_USAGE, X509_ENHANCED_KEY_USAGE);
    if (!usages)
        return ::CertFindExtension(szOID_ENHANCED_KEY_USAGE, server->cExtension, server->rgExtension) == nullptr;
    const auto begin = usages->rgpszUsageIdentifier;
    const auto end = begin + usages->cUsageIdentifier;
    return std::any_of(begin, end, [](LPSTR oid) { return std::string_view(oid) == szOID_PKIX_KP_SERVER_AUTH; });
}

bool namesAddress(const CERT_INFO* server, const IpAddress& address) {
    const auto names = decodedExtension<CERT_ALT_NAME_INFO>(server, szOID_SUBJECT_ALT_NAME2, X509_ALTERNATE_NAME);
    if (!names) return false;
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice != CERT_ALT_NAME_IP_ADDRESS) continue;
        const CRYPT_DATA_BLOB& bytes = entry.IPAddress;
        IpAddress named{};
        if (bytes.cbData == 4)
            named = ipv4Mapped(std::span<const std::uint8_t, 4>(bytes.pbData, 4));
        else if (bytes.cbData == named.size())
            std::copy_n(bytes.pbData, named.size(), named.begin());
        else
            continue;
        if (named == address) return true;
    }
    return false;
}

std::string signatureRefusal(const CERT_CONTEXT* server, const CERT_CONTEXT* ca) {
    if (!::CertCompareCertificateName(X509_ASN_ENCODING, &server->pCertInfo->Issuer, &ca->pCertInfo->Subject))
        return "the server's certificate is not from the configured CA";
    if (!::CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                             const_cast<CERT_CONTEXT*>(server), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                             const_cast<CERT_CONTEXT*>(ca), 0, nullptr))
        return "the server's certificate does not carry the configured CA's signature";
    return {};
}

} // namespace

std::optional<CertificateDer> certificateFromPem(std::string_view pem, std::string& failure) {
    auto der = pemBlock(pem, "CERTIFICATE");
    if (!der) {
        failure = "no PEM certificate";
        return std::nullopt;
    }
    if (!certificateContext(*der)) {
        failure = "the PEM certificate does not decode";
        return std::nullopt;
    }
    return der;
}

std::optional<Sha256Digest> certificateSha256(std::span<const std::uint8_t> der) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return std::nullopt;
    const std::unique_ptr<void, AlgorithmClose> algorithmOwner(algorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0) return std::nullopt;
    const std::unique_ptr<void, HashDestroy> hashOwner(hash);
    Sha256Digest digest{};
    auto* input = const_cast<PUCHAR>(der.data());
    if (::BCryptHashData(hash, input, static_cast<ULONG>(der.size()), 0) < 0 ||
        ::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0)
        return std::nullopt;
    return digest;
}

std::string certificateSubject(std::span<const std::uint8_t> der) {
    const CertificateContext certificate = certificateContext(der);
    if (!certificate) return {};
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, 0);
    if (length <= 1) return {};
    std::wstring text(length, L'\0');
    ::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, text.data(), length);
    text.resize(length - 1);
    return narrowText(text);
}

std::string serverCertificateRefusal(std::span<const std::uint8_t> server, std::span<const std::uint8_t> ca,
                                     std::string_view address, std::chrono::system_clock::time_point at) {
    const CertificateContext serverContext = certificateContext(server);
    if (!serverContext) return "the server's certificate does not decode";
    const CertificateContext caContext = certificateContext(ca);
    if (!caContext) return "the configured CA certificate does not decode";
    const CERT_INFO* serverInfo = serverContext->pCertInfo;
    const FILETIME when = fileTimeOf(at);
    std::string why = caRefusal(caContext->pCertInfo);
    if (why.empty()) why = signatureRefusal(serverContext.get(), caContext.get());
    if (why.empty()) why = validityRefusal(caContext->pCertInfo, when, "the configured CA certificate");
    if (why.empty()) why = validityRefusal(serverInfo, when, "the server's certificate");
    if (!why.empty()) return why;
    if (!servesTlsServers(serverInfo)) return "the server's certificate is not for TLS servers";
    const auto wanted = address.find(':') == std::string_view::npos ? parseIpv4(address) : parseIpv6(address);
    if (!wanted) return "the server " + std::string(address) + " is no IP address a certificate could name";
    if (!namesAddress(serverInfo, *wanted))
        return "the server's certificate does not name " + std::string(address) + " (IP address subjectAltName)";
    return {};
}

} // namespace vexa::platform
