#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/secure_string.h"
#include "rpcsc/byte_stream.h"
#include "rpcsc/tcp_stream.h"

// OpenSSL's types by their tag names, so that users of this header need not
// include OpenSSL's.
struct bio_st;
struct ssl_ctx_st;
struct ssl_st;

namespace vexa {

struct TlsDeleter {
    void operator()(ssl_ctx_st* context) const noexcept;
    void operator()(ssl_st* session) const noexcept;
};

// The PEM files one side of a connection shows and trusts.
struct TlsFiles {
    std::string certificate; // this side's certificate, its chain after it
    std::string key;         // that certificate's private key
    std::string ca;          // the CA the peer's certificate must come from
};

// Longest PEM file read: far above any certificate or key.
inline constexpr std::size_t kMaxPemFile = 1 << 20;

// The texts of those files as read, so that what was read (and judged) is
// what is used; the names are for messages.
struct TlsPem {
    TlsFiles files;
    SecureString certificate;
    SecureString key;
    SecureString ca;
};

// Reads the three files; none with failure naming the file that cannot be
// read.
std::optional<TlsPem> readTlsFiles(const TlsFiles& files, std::string& failure);

// What every TLS session of one side shares: TLS 1.3 only, no
// renegotiation, no compression, no session tickets (one handshake per
// connection), and a certificate on both sides checked against the
// configured CA. Safe to share between threads once made.
class TlsContext {
public:
    // A server's: every client must show a certificate from files.ca.
    static std::optional<TlsContext> server(const TlsFiles& files, std::string& failure);
    // A client's: the server's certificate must come from files.ca and name
    // the address connected to.
    static std::optional<TlsContext> client(const TlsFiles& files, std::string& failure);
    // The same from texts already read.
    static std::optional<TlsContext> clientFromTexts(const TlsPem& pem, std::string& failure);

    bool isServer() const { return server_; }
    // Why the chain a peer showed in an earlier handshake would not verify
    // against this context's CA now, its validity dates aside; empty when it
    // does. For a reload that replaced the CA. Safe from any thread.
    std::string chainFailure(const PeerCertificate& peer) const;
    ssl_ctx_st* get() const { return context_.get(); }

private:
    TlsContext(std::unique_ptr<ssl_ctx_st, TlsDeleter> context, bool server)
        : context_(std::move(context)), server_(server) {}

    std::unique_ptr<ssl_ctx_st, TlsDeleter> context_;
    bool server_;
};

// The fingerprint and subject of the first certificate in a PEM file; none
// with failure saying why.
std::optional<PeerCertificate> readCertificateFile(const std::string& path, std::string& failure);

// A TLS session over a TCP stream, as a byte stream. The handshake runs in
// handshake(), or else in the first read or write, by that call's deadline;
// the TLS records go through the TCP stream's own deadline-bounded reads and
// writes. A failed handshake leaves every later call failing with its
// error number.
class TlsStream final : public ByteStream {
public:
    // The server's side of an accepted connection; waits for nothing.
    TlsStream(const TlsContext& context, std::unique_ptr<TcpStream> tcp);
    // The client's side, expecting a server certificate that names
    // serverAddress (a dotted IPv4 or an IPv6 address).
    TlsStream(const TlsContext& context, std::unique_ptr<TcpStream> tcp, std::string_view serverAddress);
    ~TlsStream() override;

    // Connects to host (an IP address) and port and completes the handshake,
    // all within timeoutMs: TcpStream::connect's results, or
    // WSAECONNABORTED for a refused handshake with `failure` saying why.
    static std::int32_t connect(const TlsContext& context, std::string_view host, std::uint16_t port,
                                std::int32_t timeoutMs, std::unique_ptr<ByteStream>& stream, std::string& failure);

    // WSAECONNABORTED when the peer or this side refuses the session,
    // WSAETIMEDOUT when it is not done by the deadline, WSAECONNRESET when
    // the peer hangs up.
    std::int32_t handshake(Clock::time_point deadline, std::string& failure) override;
    const PeerCertificate* peerCertificate() const override { return peer_ ? &*peer_ : nullptr; }
    bool peerSilent() const override { return !heard_; }

    std::int32_t readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) override;
    std::int32_t writeAll(std::string_view bytes, Clock::time_point deadline) override;
    void shutdownBoth() noexcept override;
    // Sends the close notice if the socket takes it at once, then closes.
    std::int32_t close() noexcept override;

private:
    // Runs one TLS call (a handshake, a read, a write), moving records
    // between the session and the TCP stream, until it returns a positive
    // count (`done`) or fails.
    std::int32_t drive(const std::function<int(ssl_st*)>& call, int& done, Clock::time_point deadline);
    // Sends the records the session has made.
    std::int32_t flush(Clock::time_point deadline);
    // Hands the session what the TCP stream brings.
    std::int32_t fill(Clock::time_point deadline);
    // The handshake's result: WSAEWOULDBLOCK when it waits for the peer
    // past the deadline, and later calls go on with it.
    std::int32_t ensureHandshake(Clock::time_point deadline);

    std::unique_ptr<TcpStream> tcp_;
    std::unique_ptr<ssl_st, TlsDeleter> session_;
    bio_st* in_ = nullptr;  // owned by session_
    bio_st* out_ = nullptr; // owned by session_
    bool established_ = false;
    bool heard_ = false; // a byte came from the peer
    std::int32_t failed_ = 0;
    std::string failure_;
    std::optional<PeerCertificate> peer_;
};

} // namespace vexa
