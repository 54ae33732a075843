#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/secure_string.h"
#include "platform/x509_certificate.h"

// A TLS 1.3 client session through the system's own TLS (Schannel), with no
// I/O of its own: the caller hands it the bytes the server sent and sends
// the bytes it makes. Built on Windows only; Linux speaks TLS through
// OpenSSL in the remote-protocol library.
namespace vexa::platform {

// Whether this system offers TLS 1.3 to clients; empty, or the reason in
// words for the log.
std::string tls13Unavailability();

// What this user shows and trusts on every connection: a certificate with
// its private key and the CA the servers' certificates must come from.
// Made once; shared by the sessions of any thread.
class TlsClientCredentials {
public:
    struct State;

    // From the PEM texts of the certificate, its key (PKCS#8, "BEGIN
    // PRIVATE KEY") and the CA; null with failure saying why.
    static std::shared_ptr<const TlsClientCredentials> make(std::string_view certificatePem, std::string_view keyPem,
                                                            std::string_view caPem, std::string& failure);
    explicit TlsClientCredentials(std::unique_ptr<State> state);
    ~TlsClientCredentials();

    const State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// One connection's session. Only TLS 1.3 is accepted, and the server's
// certificate must pass serverCertificateRefusal for serverAddress.
class TlsClientSession {
public:
    enum class Progress {
        Done,      // the step is complete
        NeedInput, // more of the server's bytes are needed
        Failed,    // refused or broken: failure() says why
        Closed,    // the server sent its close notice
    };

    TlsClientSession(std::shared_ptr<const TlsClientCredentials> credentials, std::string_view serverAddress);
    ~TlsClientSession();
    TlsClientSession(const TlsClientSession&) = delete;
    TlsClientSession& operator=(const TlsClientSession&) = delete;

    // Bytes as they came from the server.
    void receive(std::span<const char> bytes);
    // The bytes to send to the server now, taken out.
    std::string takeOutgoing();

    // Advances the handshake with what has been received; Done once the
    // session is established and the server's certificate has passed.
    Progress handshake();
    // Appends the plaintext of the records received to `plaintext`; Done
    // when some came. Every buffer that held plaintext is wiped.
    Progress decrypt(SecureString& plaintext);
    // Turns plaintext into records to send; false (failure() says why) when
    // the session cannot.
    bool encrypt(std::string_view plaintext);
    // Queues the close notice of an established session.
    void close();

    const std::string& failure() const;
    // The server's certificate, once the handshake is done.
    const CertificateDer& serverCertificate() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace vexa::platform
