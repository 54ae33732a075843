// TLS to remote servers through the system's Schannel (Windows): TLS 1.3
// only, so refused where the system offers none.
#include <algorithm>
#include <array>

#include "cardaccess/tls_client_files.h"
#include "cardaccess/tls_connector.h"
#include "platform/file.h"
#include "platform/tls_client_session.h"
#include "rpcsc/certificate_fingerprint.h"
#include "rpcsc/tcp_stream.h"
#include "rpcsc/winsock_error.h"

namespace vexa {
namespace {

std::optional<SecureString> readPemFile(const std::string& path, std::string_view what, std::string& failure) {
    platform::File file = platform::File::open(path, platform::FileAccess::Read);
    SecureString text;
    if (file.valid() && file.readAll(text, kMaxPemFile)) return text;
    const bool tooLarge = file.valid() && text.size() > kMaxPemFile;
    failure = tooLarge ? "the " + std::string(what) + " " + path + " is too large"
                       : "cannot read the " + std::string(what) + " " + path;
    return std::nullopt;
}

// Lower-case hex of a digest, the canonical fingerprint form.
std::string hexOf(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<PeerCertificate> describe(const platform::CertificateDer& der) {
    const auto digest = platform::certificateSha256(der);
    if (!digest) return std::nullopt;
    const std::string hex = hexOf(*digest);
    const std::string line = rpcsc::fingerprintLine(hex);
    return PeerCertificate{line.substr(rpcsc::kFingerprintLabel.size()), hex, platform::certificateSubject(der), {}};
}

// A TLS session over a TCP stream, as a byte stream: the session makes and
// takes the records, this moves them through the TCP stream's own
// deadline-bounded reads and writes.
class SchannelStream final : public ByteStream {
public:
    SchannelStream(std::shared_ptr<const platform::TlsClientCredentials> credentials, std::unique_ptr<ByteStream> tcp,
                   std::string_view serverAddress)
        : tcp_(std::move(tcp)), session_(std::move(credentials), serverAddress) {}

    std::int32_t handshake(Clock::time_point deadline, std::string& failure) override {
        const std::int32_t result = ensureHandshake(deadline);
        if (result != 0) failure = failure_;
        return result == WSAEWOULDBLOCK ? WSAETIMEDOUT : result;
    }

    const PeerCertificate* peerCertificate() const override { return peer_ ? &*peer_ : nullptr; }

    std::int32_t readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) override {
        got = 0;
        if (const std::int32_t shaken = ensureHandshake(deadline); shaken != 0) return shaken;
        while (plaintext_.empty()) {
            const auto progress = session_.decrypt(plaintext_);
            if (const std::int32_t flushed = flush(deadline); flushed != 0) return flushed;
            if (progress == Progress::Closed) return WSAECONNRESET;
            if (progress == Progress::Failed) return refused();
            if (progress == Progress::NeedInput)
                if (const std::int32_t filled = fill(deadline); filled != 0) return filled;
        }
        got = std::min(into.size(), plaintext_.size());
        std::copy_n(plaintext_.data(), got, into.data());
        plaintext_.erase(0, got);
        return 0;
    }

    std::int32_t writeAll(std::string_view bytes, Clock::time_point deadline) override {
        if (const std::int32_t shaken = ensureHandshake(deadline); shaken != 0)
            return shaken == WSAEWOULDBLOCK ? WSAETIMEDOUT : shaken;
        if (!session_.encrypt(bytes)) return refused();
        return flush(deadline);
    }

    void shutdownBoth() noexcept override { tcp_->shutdownBoth(); }

    // Sends the close notice if the socket takes it at once, then closes.
    std::int32_t close() noexcept override {
        if (established_ && failed_ == 0) {
            session_.close();
            (void)flush(Clock::now()); // no waiting for a peer that reads nothing
        }
        return tcp_->close();
    }

private:
    using Progress = platform::TlsClientSession::Progress;

    std::int32_t refused() {
        failure_ = session_.failure();
        return failed_ = WSAECONNABORTED;
    }

    std::int32_t flush(Clock::time_point deadline) {
        const std::string records = session_.takeOutgoing();
        return records.empty() ? 0 : tcp_->writeAll(records, deadline);
    }

    std::int32_t fill(Clock::time_point deadline) {
        std::array<char, 16 * 1024 + 512> chunk; // a whole record at most
        std::size_t got = 0;
        const std::int32_t received = tcp_->readSome(chunk, got, deadline);
        if (received == 0) session_.receive(std::span<const char>(chunk.data(), got));
        return received;
    }

    // The handshake's result: WSAEWOULDBLOCK when it waits for the peer
    // past the deadline, and later calls go on with it.
    std::int32_t ensureHandshake(Clock::time_point deadline) {
        if (failed_ != 0 || established_) return failed_;
        for (;;) {
            const auto progress = session_.handshake();
            // Records made (an answer, an alert) go out even when the
            // session failed, so that the server learns why.
            const std::int32_t flushed = flush(deadline);
            if (progress == Progress::Failed) return refused();
            if (flushed == 0 && progress == Progress::Done) break;
            const std::int32_t result = flushed != 0 ? flushed : fill(deadline);
            if (result == WSAEWOULDBLOCK || result == WSAETIMEDOUT) {
                failure_ = "no TLS handshake in time";
                return result;
            }
            if (result == WSAECONNRESET) failure_ = "the peer hung up in the TLS handshake";
            if (result != 0) return failed_ = result;
        }
        established_ = true;
        failure_.clear();
        peer_ = describe(session_.serverCertificate());
        return 0;
    }

    std::unique_ptr<ByteStream> tcp_;
    platform::TlsClientSession session_;
    SecureString plaintext_; // decrypted, not yet read
    bool established_ = false;
    std::int32_t failed_ = 0;
    std::string failure_;
    std::optional<PeerCertificate> peer_;
};

} // namespace

std::optional<TlsConnector> makeTlsConnector(const TlsClientFiles& files, std::string& failure) {
    // The system first: on older Windows no file would help.
    if (failure = platform::tls13Unavailability(); !failure.empty()) return std::nullopt;
    const auto pem = readTlsClientFiles(files, failure);
    const auto credentials =
        pem ? platform::TlsClientCredentials::make(pem->certificate, pem->key, pem->ca, failure) : nullptr;
    if (!credentials) return std::nullopt;
    return [credentials](std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                         std::unique_ptr<ByteStream>& stream, std::string& why) -> std::int32_t {
        const auto deadline = ByteStream::Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        std::unique_ptr<ByteStream> tcp;
        if (const std::int32_t connected = TcpStream::connect(host, port, timeoutMs, tcp); connected != 0)
            return connected;
        auto tls = std::make_unique<SchannelStream>(credentials, std::move(tcp), host);
        if (const std::int32_t shaken = tls->handshake(deadline, why); shaken != 0) return shaken;
        stream = std::move(tls);
        return 0;
    };
}

std::optional<std::string> certificateFingerprint(const std::string& path, std::string& failure) {
    const auto pem = readPemFile(path, "certificate", failure);
    if (!pem) return std::nullopt;
    std::string why;
    const auto der = platform::certificateFromPem(*pem, why);
    if (!der) {
        failure = path + " holds no certificate: " + why;
        return std::nullopt;
    }
    const auto digest = platform::certificateSha256(*der);
    if (!digest) {
        failure = "cannot hash the certificate " + path;
        return std::nullopt;
    }
    return hexOf(*digest);
}

} // namespace vexa
