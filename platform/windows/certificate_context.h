#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <cstdint>
#include <memory>
#include <span>

namespace vexa::platform {

struct CertificateFree {
    void operator()(const CERT_CONTEXT* certificate) const noexcept { ::CertFreeCertificateContext(certificate); }
};
using CertificateContext = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// A certificate context of DER bytes; null when they are no certificate.
inline CertificateContext certificateContext(std::span<const std::uint8_t> der) {
    return CertificateContext(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

} // namespace vexa::platform
