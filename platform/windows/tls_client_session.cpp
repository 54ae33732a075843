#include "platform/tls_client_session.h"

#include <windows.h>

#include <subauth.h>
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <ncrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/windows/certificate_context.h"
#include "platform/windows/pem_block.h"
#include "platform/windows/system_error.h"

namespace vexa::platform {
namespace {

constexpr std::string_view kNoTls13 = "this Windows offers no TLS 1.3 (Windows 11 or Windows Server 2022 onwards)";

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

std::string statusText(SECURITY_STATUS status) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    const std::string text = windowsErrorText(static_cast<unsigned long>(status));
    return text.empty() ? code : text + " (" + code + ")";
}

// A credentials handle that frees itself.
class Credentials {
public:
    Credentials() = default;
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    ~Credentials() {
        if (valid_) ::FreeCredentialsHandle(&handle_);
    }

    // Schannel's client credentials with TLS 1.3 alone enabled, this
    // side's certificate (or none), and the server's certificate left to
    // the caller to check.
    SECURITY_STATUS acquire(const CERT_CONTEXT* certificate) {
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_3_CLIENT);
        SCH_CREDENTIALS credentials{};
        credentials.dwVersion = SCH_CREDENTIALS_VERSION;
        credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        credentials.cCreds = certificate ? 1 : 0;
        credentials.paCred = certificate ? &certificate : nullptr;
        credentials.cTlsParameters = 1;
        credentials.pTlsParameters = &parameters;
        TimeStamp expiry{};
        const SECURITY_STATUS status =
            ::AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                        &credentials, nullptr, nullptr, &handle_, &expiry);
        valid_ = status == SEC_E_OK;
        return status;
    }

    bool offersTls13() {
        SecPkgCred_SupportedProtocols protocols{};
        return valid_ &&
               ::QueryCredentialsAttributesW(&handle_, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &protocols) == SEC_E_OK &&
               (protocols.grbitProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
    }

    // Schannel takes the handle as non-const, yet never changes it.
    CredHandle* get() const { return &handle_; }

private:
    mutable CredHandle handle_{};
    bool valid_ = false;
};

struct NcryptFree {
    void operator()(void* object) const noexcept { ::NCryptFreeObject(reinterpret_cast<NCRYPT_HANDLE>(object)); }
};
using NcryptObject = std::unique_ptr<void, NcryptFree>;

// Imports the PKCS#8 key as an ephemeral key of the software key storage
// provider and attaches it to the certificate, which then owns it.
std::string attachKey(const CERT_CONTEXT* certificate, std::string_view keyPem) {
    auto pkcs8 = pemBlock(keyPem, "PRIVATE KEY");
    if (!pkcs8) return "no PKCS#8 private key (BEGIN PRIVATE KEY)";
    NCRYPT_PROV_HANDLE provider = 0;
    SECURITY_STATUS status = ::NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0);
    if (status != ERROR_SUCCESS) return "no key storage provider: " + statusText(status);
    const NcryptObject providerOwner(reinterpret_cast<void*>(provider));
    NCRYPT_KEY_HANDLE key = 0;
    status = ::NCryptImportKey(provider, 0, NCRYPT_PKCS8_PRIVATE_KEY_BLOB, nullptr, &key, pkcs8->data(),
                               static_cast<DWORD>(pkcs8->size()), 0);
    SecureZeroMemory(pkcs8->data(), pkcs8->size());
    if (status != ERROR_SUCCESS) return "the key cannot be imported: " + statusText(status);
    NcryptObject keyOwner(reinterpret_cast<void*>(key));
    CERT_KEY_CONTEXT context{};
    context.cbSize = sizeof context;
    context.hNCryptKey = key;
    context.dwKeySpec = CERT_NCRYPT_KEY_SPEC;
    if (!::CertSetCertificateContextProperty(certificate, CERT_KEY_CONTEXT_PROP_ID, 0, &context))
        return "the key cannot be attached to the certificate: " + windowsErrorText(::GetLastError());
    (void)keyOwner.release(); // the certificate frees it
    return {};
}

} // namespace

struct TlsClientCredentials::State {
    CertificateContext certificate;
    CertificateDer ca;
    Credentials credentials;
};

std::string tls13Unavailability() {
    Credentials probe;
    return probe.acquire(nullptr) == SEC_E_OK && probe.offersTls13() ? std::string() : std::string(kNoTls13);
}

TlsClientCredentials::TlsClientCredentials(std::unique_ptr<State> state) : state_(std::move(state)) {}
TlsClientCredentials::~TlsClientCredentials() = default;

std::shared_ptr<const TlsClientCredentials> TlsClientCredentials::make(std::string_view certificatePem,
                                                                       std::string_view keyPem, std::string_view caPem,
                                                                       std::string& failure) {
    auto state = std::make_unique<State>();
    std::string why;
    const auto ca = certificateFromPem(caPem, why);
    if (!ca) {
        failure = "the CA certificate: " + why;
        return nullptr;
    }
    state->ca = *ca;
    const auto own = certificateFromPem(certificatePem, why);
    if (!own) {
        failure = "the certificate: " + why;
        return nullptr;
    }
    state->certificate = certificateContext(*own);
    if (why = attachKey(state->certificate.get(), keyPem); !why.empty()) {
        failure = "the key: " + why;
        return nullptr;
    }
    if (const SECURITY_STATUS status = state->credentials.acquire(state->certificate.get()); status != SEC_E_OK) {
        failure = "Schannel refuses the certificate and key: " + statusText(status);
        return nullptr;
    }
    return std::make_shared<const TlsClientCredentials>(std::move(state));
}

struct TlsClientSession::State {
    std::shared_ptr<const TlsClientCredentials> credentials;
    std::string address;
    CtxtHandle context{};
    bool hasContext = false;
    bool established = false;
    bool renegotiating = false; // a post-handshake message is being taken
    int certificateRetries = 0;
    SecureString incoming; // records are decrypted in place
    std::string outgoing;
    std::string failure;
    CertificateDer server;
    SecPkgContext_StreamSizes sizes{};

    ~State() {
        if (hasContext) ::DeleteSecurityContext(&context);
    }

    Progress fail(std::string why) {
        failure = std::move(why);
        return Progress::Failed;
    }

    // The handshake's outputs: records to send, freed.
    void takeTokens(SecBuffer (&out)[2]) {
        for (SecBuffer& buffer : out) {
            if (!buffer.pvBuffer) continue;
            if (buffer.cbBuffer > 0) outgoing.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
            ::FreeContextBuffer(buffer.pvBuffer);
        }
    }

    // One InitializeSecurityContext call over what has been received;
    // keeps what it leaves unread.
    SECURITY_STATUS initialize() {
        SecBuffer in[2] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                           {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDescription{SECBUFFER_VERSION, 2, in};
        SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outDescription{SECBUFFER_VERSION, 2, out};
        ULONG attributes = 0;
        const bool withInput = hasContext && !incoming.empty();
        CredHandle* credentialsHandle = credentials->state().credentials.get();
        const SECURITY_STATUS status =
            ::InitializeSecurityContextW(credentialsHandle, hasContext ? &context : nullptr, nullptr, kRequest, 0, 0,
                                         withInput ? &inDescription : nullptr, 0, hasContext ? nullptr : &context,
                                         &outDescription, &attributes, nullptr);
        if (!hasContext) hasContext = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
        takeTokens(out);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return status;
        if (!withInput) return status;
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= incoming.size())
            incoming.erase(0, incoming.size() - in[1].cbBuffer);
        else if (status != SEC_I_INCOMPLETE_CREDENTIALS)
            incoming.clear();
        return status;
    }

    // Runs InitializeSecurityContext until it is done or waits for input.
    Progress exchange() {
        for (;;) {
            const SECURITY_STATUS status = initialize();
            if (status == SEC_E_OK) return Progress::Done;
            if (status == SEC_E_INCOMPLETE_MESSAGE) return Progress::NeedInput;
            if (status == SEC_I_CONTINUE_NEEDED) {
                if (incoming.empty()) return Progress::NeedInput;
                continue;
            }
            // Asked again with the same input, it sends the certificate
            // it has; twice means it will not.
            if (status == SEC_I_INCOMPLETE_CREDENTIALS && ++certificateRetries == 1) continue;
            if (status == SEC_I_INCOMPLETE_CREDENTIALS) return fail("this Windows would not send the certificate");
            return fail("TLS failure: " + statusText(status));
        }
    }

    // After the handshake: TLS 1.3, and a server certificate that passes.
    Progress settle() {
        SecPkgContext_ConnectionInfo connection{};
        if (::QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
            (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) == 0)
            return fail("TLS below 1.3");
        const CERT_CONTEXT* remote = nullptr;
        if (::QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK || !remote)
            return fail("the server showed no certificate");
        const CertificateContext owner(remote);
        server.assign(remote->pbCertEncoded, remote->pbCertEncoded + remote->cbCertEncoded);
        const std::string why =
            serverCertificateRefusal(server, credentials->state().ca, address, std::chrono::system_clock::now());
        if (!why.empty()) return fail("certificate refused: " + why);
        if (::QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK ||
            sizes.cbMaximumMessage == 0)
            return fail("TLS failure: no record sizes");
        established = true;
        return Progress::Done;
    }

    // One DecryptMessage over the records received.
    Progress decryptOnce(SecureString& plaintext) {
        SecBuffer buffers[4] = {{static_cast<ULONG>(incoming.size()), SECBUFFER_DATA, incoming.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::DecryptMessage(&context, &description, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return Progress::NeedInput;
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
            return fail("TLS failure: " + statusText(status));
        // Decrypted in place: the plaintext and the rest lie in incoming.
        const std::size_t before = plaintext.size();
        SecureString rest;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0)
                plaintext.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
            else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0)
                rest.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        }
        incoming = std::move(rest);
        if (status == SEC_I_CONTEXT_EXPIRED) return Progress::Closed;
        // A post-handshake message (a ticket, a key update) goes back
        // through InitializeSecurityContext, with what follows it.
        if (status == SEC_I_RENEGOTIATE) renegotiating = true;
        return plaintext.size() > before ? Progress::Done : Progress::NeedInput;
    }
};

TlsClientSession::TlsClientSession(std::shared_ptr<const TlsClientCredentials> credentials,
                                   std::string_view serverAddress)
    : state_(std::make_unique<State>()) {
    state_->credentials = std::move(credentials);
    state_->address = std::string(serverAddress);
}

TlsClientSession::~TlsClientSession() = default;

void TlsClientSession::receive(std::span<const char> bytes) {
    state_->incoming.append(bytes.data(), bytes.size());
}

std::string TlsClientSession::takeOutgoing() {
    return std::exchange(state_->outgoing, {});
}

TlsClientSession::Progress TlsClientSession::handshake() {
    State& s = *state_;
    if (!s.failure.empty()) return Progress::Failed;
    if (s.established) return Progress::Done;
    const Progress progress = s.exchange();
    return progress == Progress::Done ? s.settle() : progress;
}

TlsClientSession::Progress TlsClientSession::decrypt(SecureString& plaintext) {
    State& s = *state_;
    if (!s.failure.empty()) return Progress::Failed;
    if (!s.established) return s.fail("TLS failure: no session");
    for (;;) {
        if (s.incoming.empty()) return Progress::NeedInput;
        if (s.renegotiating) {
            const Progress progress = s.exchange();
            if (progress != Progress::Done) return progress;
            s.renegotiating = false;
            continue;
        }
        const std::size_t waiting = s.incoming.size();
        const Progress progress = s.decryptOnce(plaintext);
        if (progress != Progress::NeedInput) return progress;
        // Nothing decrypted: go on only when a record was taken.
        if (!s.renegotiating && s.incoming.size() >= waiting) return Progress::NeedInput;
    }
}

bool TlsClientSession::encrypt(std::string_view plaintext) {
    State& s = *state_;
    if (!s.failure.empty()) return false;
    if (!s.established) {
        s.fail("TLS failure: no session");
        return false;
    }
    const SecPkgContext_StreamSizes& sizes = s.sizes;
    while (!plaintext.empty()) {
        const std::size_t length = std::min<std::size_t>(plaintext.size(), sizes.cbMaximumMessage);
        SecureString record(sizes.cbHeader + length + sizes.cbTrailer, '\0'); // plaintext until encrypted
        std::memcpy(record.data() + sizes.cbHeader, plaintext.data(), length);
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                {static_cast<ULONG>(length), SECBUFFER_DATA, record.data() + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + length},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = ::EncryptMessage(&s.context, 0, &description, 0);
        if (status != SEC_E_OK) {
            s.fail("TLS failure: " + statusText(status));
            return false;
        }
        // The header's length is fixed; the trailer may come out shorter.
        s.outgoing.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        plaintext.remove_prefix(length);
    }
    return true;
}

void TlsClientSession::close() {
    State& s = *state_;
    if (!s.established || !s.failure.empty()) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    if (::ApplyControlToken(&s.context, &description) != SEC_E_OK) return;
    s.incoming.clear();
    (void)s.initialize(); // makes the close notice
}

const std::string& TlsClientSession::failure() const {
    return state_->failure;
}

const CertificateDer& TlsClientSession::serverCertificate() const {
    return state_->server;
}

} // namespace vexa::platform
