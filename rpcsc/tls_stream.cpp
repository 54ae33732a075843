#include "rpcsc/tls_stream.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "rpcsc/winsock_error.h"

namespace vexa {

void TlsDeleter::operator()(ssl_ctx_st* context) const noexcept {
    SSL_CTX_free(context);
}

void TlsDeleter::operator()(ssl_st* session) const noexcept {
    SSL_free(session);
}

namespace {

struct X509Deleter {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

// OpenSSL's reason for the oldest error queued on this thread, and the
// queue emptied; `otherwise` when none is queued.
std::string takeErrorText(std::string_view otherwise) {
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    // A file that cannot be opened comes as the system's errno.
    if (first != 0 && ERR_SYSTEM_ERROR(first)) return std::strerror(ERR_GET_REASON(first));
    const char* reason = first != 0 ? ERR_reason_error_string(first) : nullptr;
    return reason ? reason : std::string(otherwise);
}

bool restrictProtocol(SSL_CTX* context) {
    // Decrypted records are wiped once read: requests carry PINs.
    SSL_CTX_set_options(context,
                        SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET | SSL_OP_CLEANSE_PLAINTEXT);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    return SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) == 1 &&
           SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1;
}

using Memory = std::unique_ptr<BIO, BioDeleter>;

Memory memoryOf(std::string_view text) {
    return Memory(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// A key that needs a passphrase is refused: no one is there to type it.
int noPassphrase(char*, int, int, void*) {
    return -1;
}

// The first certificate of the text as this side's, those after it as its
// chain, as SSL_CTX_use_certificate_chain_file takes them from a file.
bool useCertificateChain(SSL_CTX* context, std::string_view text) {
    const Memory in = memoryOf(text);
    const std::unique_ptr<X509, X509Deleter> first(in ? PEM_read_bio_X509_AUX(in.get(), nullptr, noPassphrase, nullptr)
                                                      : nullptr);
    if (!first || SSL_CTX_use_certificate(context, first.get()) != 1 || SSL_CTX_clear_chain_certs(context) != 1)
        return false;
    while (X509* next = PEM_read_bio_X509(in.get(), nullptr, noPassphrase, nullptr)) {
        if (SSL_CTX_add0_chain_cert(context, next) != 1) {
            X509_free(next);
            return false;
        }
    }
    // Running out of certificates ends the chain; anything else is damage.
    const unsigned long last = ERR_peek_last_error();
    if (ERR_GET_LIB(last) != ERR_LIB_PEM || ERR_GET_REASON(last) != PEM_R_NO_START_LINE) return false;
    ERR_clear_error();
    return true;
}

bool usePrivateKey(SSL_CTX* context, std::string_view text) {
    const Memory in = memoryOf(text);
    EVP_PKEY* key = in ? PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr) : nullptr;
    const bool used = key && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    return used;
}

// Trusts every certificate (and revocation list) of the CA text, and names
// the certificates in names when given; false when the text holds none.
bool trustAuthorities(SSL_CTX* context, std::string_view text, STACK_OF(X509_NAME) * names) {
    const Memory in = memoryOf(text);
    STACK_OF(X509_INFO)* infos = in ? PEM_X509_INFO_read_bio(in.get(), nullptr, noPassphrase, nullptr) : nullptr;
    if (!infos) return false;
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    int certificates = 0;
    bool ok = true;
    for (int i = 0; ok && i < sk_X509_INFO_num(infos); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509) {
            ++certificates;
            ok = X509_STORE_add_cert(store, info->x509) == 1;
            X509_NAME* name = ok && names ? X509_NAME_dup(X509_get_subject_name(info->x509)) : nullptr;
            if (name && sk_X509_NAME_push(names, name) <= 0) X509_NAME_free(name);
        }
        if (ok && info->crl) ok = X509_STORE_add_crl(store, info->crl) == 1;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return ok && certificates > 0;
}

// Loads this side's certificate and key and the CA from their texts; false
// with failure set when one cannot be used. A server's CA names go to names.
bool loadPem(SSL_CTX* context, const TlsPem& pem, std::string& failure, STACK_OF(X509_NAME) * names = nullptr) {
    const TlsFiles& files = pem.files;
    ERR_clear_error();
    if (!useCertificateChain(context, pem.certificate)) {
        failure = "cannot load the certificate " + files.certificate + ": " + takeErrorText("no PEM certificate");
    } else if (!usePrivateKey(context, pem.key)) {
        failure = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH
                      ? "the key " + files.key + " does not belong to the certificate " + files.certificate
                      : "cannot load the key " + files.key + ": " + takeErrorText("no PEM key");
    } else if (SSL_CTX_check_private_key(context) != 1) {
        failure = "the key " + files.key + " does not belong to the certificate " + files.certificate;
    } else if (!trustAuthorities(context, pem.ca, names)) {
        failure = "cannot load the CA certificate " + files.ca + ": " + takeErrorText("no PEM certificate");
    }
    ERR_clear_error();
    return failure.empty();
}

bool readPem(const std::string& path, std::string_view what, SecureString& text, std::string& failure) {
    platform::File file = platform::File::open(path, platform::FileAccess::Read);
    if (file.valid() && file.readAll(text, kMaxPemFile)) return true;
    const bool tooLarge = file.valid() && text.size() > kMaxPemFile;
    failure =
        "cannot load the " + std::string(what) + " " + path + ": " + (tooLarge ? "too large" : std::strerror(errno));
    return false;
}

std::optional<TlsContext> failed(std::string& failure, std::string text) {
    failure = std::move(text);
    return std::nullopt;
}

std::string hexPairs(std::span<const unsigned char> bytes, std::string_view separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char byte : bytes) {
        if (!text.empty()) text += separator;
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<PeerCertificate> describe(X509* certificate) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) return std::nullopt;
    const std::span<const unsigned char> sha256(digest.data(), length);
    PeerCertificate peer{hexPairs(sha256, ":"), hexPairs(sha256, ""), {}, {}};
    const std::unique_ptr<BIO, BioDeleter> text(BIO_new(BIO_s_mem()));
    if (text && X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, XN_FLAG_ONELINE) >= 0) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(text.get(), &data);
        if (size > 0) peer.subject.assign(data, static_cast<std::size_t>(size));
    }
    return peer;
}

// Why a handshake failed, in words an administrator acts on.
std::string handshakeFailure(SSL* session, unsigned long error) {
    const int reason = ERR_GET_REASON(error);
    switch (reason) {
        case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
        case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
            return "no client certificate";
        case SSL_R_CERTIFICATE_VERIFY_FAILED:
            return std::string("certificate refused: ") + X509_verify_cert_error_string(SSL_get_verify_result(session));
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
            return "TLS below 1.3";
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_UNEXPECTED_RECORD:
            return "not TLS (a plain client?)";
        default:
            break;
    }
    const char* text = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return std::string("TLS failure: ") + (text ? text : "unknown");
}

std::string derOf(X509* certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(certificate, &bytes);
    if (length <= 0) return {};
    std::string der(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return der;
}

// The peer's certificate in DER, then the others it sent (a client's side
// lists the peer's certificate among them, a server's does not).
std::vector<std::string> chainOf(SSL* session, X509* certificate) {
    std::vector<std::string> chain{derOf(certificate)};
    if (STACK_OF(X509)* sent = SSL_get_peer_cert_chain(session)) {
        for (int i = 0; i < sk_X509_num(sent); ++i) {
            X509* other = sk_X509_value(sent, i);
            if (X509_cmp(other, certificate) != 0) chain.push_back(derOf(other));
        }
    }
    return chain;
}

struct StoreContextDeleter {
    void operator()(X509_STORE_CTX* context) const noexcept { X509_STORE_CTX_free(context); }
};
struct X509StackDeleter {
    void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_pop_free(stack, X509_free); }
};

std::unique_ptr<X509, X509Deleter> fromDer(const std::string& der) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    return std::unique_ptr<X509, X509Deleter>(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())));
}

} // namespace

std::string TlsContext::chainFailure(const PeerCertificate& peer) const {
    if (peer.chain.empty()) return "no certificate kept to judge";
    const auto leaf = fromDer(peer.chain.front());
    const std::unique_ptr<STACK_OF(X509), X509StackDeleter> others(sk_X509_new_null());
    const std::unique_ptr<X509_STORE_CTX, StoreContextDeleter> judge(X509_STORE_CTX_new());
    if (!leaf || !others || !judge) return "cannot read the certificate kept";
    for (std::size_t i = 1; i < peer.chain.size(); ++i) {
        auto other = fromDer(peer.chain[i]);
        if (other && sk_X509_push(others.get(), other.get()) > 0) other.release();
    }
    std::string failure;
    if (X509_STORE_CTX_init(judge.get(), SSL_CTX_get_cert_store(context_.get()), leaf.get(), others.get()) != 1) {
        failure = "cannot judge the certificate";
    } else {
        // As the handshake judged it, but for its dates: a reload answers
        // whether it still comes from the CA, not whether it expired since.
        X509_STORE_CTX_set_purpose(judge.get(), X509_PURPOSE_SSL_CLIENT);
        X509_STORE_CTX_set_flags(judge.get(), X509_V_FLAG_NO_CHECK_TIME);
        if (X509_verify_cert(judge.get()) != 1)
            failure = X509_verify_cert_error_string(X509_STORE_CTX_get_error(judge.get()));
    }
    ERR_clear_error();
    return failure;
}

std::optional<PeerCertificate> readCertificateFile(const std::string& path, std::string& failure) {
    ERR_clear_error();
    const std::unique_ptr<BIO, BioDeleter> file(BIO_new_file(path.c_str(), "r"));
    if (!file) {
        failure = "cannot read " + path + ": " + takeErrorText("unreadable");
        return std::nullopt;
    }
    const std::unique_ptr<X509, X509Deleter> certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
    std::optional<PeerCertificate> facts = certificate ? describe(certificate.get()) : std::nullopt;
    if (!facts) failure = path + " holds no certificate: " + takeErrorText("no PEM certificate");
    ERR_clear_error();
    return facts;
}

std::optional<TlsPem> readTlsFiles(const TlsFiles& files, std::string& failure) {
    TlsPem pem{files, {}, {}, {}};
    if (!readPem(files.certificate, "certificate", pem.certificate, failure) ||
        !readPem(files.key, "key", pem.key, failure) || !readPem(files.ca, "CA certificate", pem.ca, failure))
        return std::nullopt;
    return pem;
}

std::optional<TlsContext> TlsContext::server(const TlsFiles& files, std::string& failure) {
    const auto pem = readTlsFiles(files, failure);
    if (!pem) return std::nullopt;
    std::unique_ptr<SSL_CTX, TlsDeleter> context(SSL_CTX_new(TLS_server_method()));
    if (!context || !restrictProtocol(context.get())) return failed(failure, "cannot set up TLS 1.3");
    // Names the CA in the certificate request, so clients with several
    // certificates pick the right one.
    STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
    if (!names) return failed(failure, "cannot set up TLS 1.3");
    const bool loaded = loadPem(context.get(), *pem, failure, names);
    if (!loaded || sk_X509_NAME_num(names) == 0) {
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        return loaded ? failed(failure, "no CA certificate in " + files.ca) : std::nullopt;
    }
    SSL_CTX_set_client_CA_list(context.get(), names);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_num_tickets(context.get(), 0);
    return TlsContext(std::move(context), true);
}

std::optional<TlsContext> TlsContext::client(const TlsFiles& files, std::string& failure) {
    const auto pem = readTlsFiles(files, failure);
    return pem ? clientFromTexts(*pem, failure) : std::nullopt;
}

std::optional<TlsContext> TlsContext::clientFromTexts(const TlsPem& pem, std::string& failure) {
    std::unique_ptr<SSL_CTX, TlsDeleter> context(SSL_CTX_new(TLS_client_method()));
    if (!context || !restrictProtocol(context.get())) return failed(failure, "cannot set up TLS 1.3");
    if (!loadPem(context.get(), pem, failure)) return std::nullopt;
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    return TlsContext(std::move(context), false);
}

TlsStream::TlsStream(const TlsContext& context, std::unique_ptr<TcpStream> tcp)
    : tcp_(std::move(tcp)), session_(SSL_new(context.get())) {
    if (!session_) {
        failed_ = WSAENOBUFS;
        failure_ = "cannot start a TLS session";
        return;
    }
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (in_ && out_) {
        SSL_set0_rbio(session_.get(), in_);
        SSL_set0_wbio(session_.get(), out_);
    } else {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        failed_ = WSAENOBUFS;
        failure_ = "cannot start a TLS session";
        return;
    }
    if (context.isServer())
        SSL_set_accept_state(session_.get());
    else
        SSL_set_connect_state(session_.get());
}

TlsStream::TlsStream(const TlsContext& context, std::unique_ptr<TcpStream> tcp, std::string_view serverAddress)
    : TlsStream(context, std::move(tcp)) {
    if (failed_ != 0) return;
    // Server entries are IP addresses: the certificate must name this one.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session_.get()), std::string(serverAddress).c_str()) != 1) {
        ERR_clear_error();
        failed_ = WSAEINVAL;
        failure_ = "the server " + std::string(serverAddress) + " is no IP address a certificate could name";
    }
}

TlsStream::~TlsStream() = default;

std::int32_t TlsStream::connect(const TlsContext& context, std::string_view host, std::uint16_t port,
                                std::int32_t timeoutMs, std::unique_ptr<ByteStream>& stream, std::string& failure) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::unique_ptr<ByteStream> tcp;
    if (const std::int32_t connected = TcpStream::connect(host, port, timeoutMs, tcp); connected != 0) return connected;
    auto tls =
        std::make_unique<TlsStream>(context, std::unique_ptr<TcpStream>(static_cast<TcpStream*>(tcp.release())), host);
    if (const std::int32_t shaken = tls->handshake(deadline, failure); shaken != 0) return shaken;
    stream = std::move(tls);
    return 0;
}

std::int32_t TlsStream::handshake(Clock::time_point deadline, std::string& failure) {
    const std::int32_t result = ensureHandshake(deadline);
    if (result != 0) failure = failure_;
    return result == WSAEWOULDBLOCK ? WSAETIMEDOUT : result;
}

std::int32_t TlsStream::ensureHandshake(Clock::time_point deadline) {
    if (failed_ != 0 || established_) return failed_;
    int done = 0;
    const std::int32_t result = drive([](SSL* s) { return SSL_do_handshake(s); }, done, deadline);
    if (result == WSAEWOULDBLOCK || result == WSAETIMEDOUT) {
        failure_ = "no TLS handshake in time";
        return result; // what has come stays: a later call may go on
    }
    if (result == WSAECONNRESET && failure_.empty()) failure_ = "the peer hung up in the TLS handshake";
    if (result != 0) return failed_ = result;
    established_ = true;
    failure_.clear();
    if (const std::unique_ptr<X509, X509Deleter> certificate{SSL_get1_peer_certificate(session_.get())}) {
        peer_ = describe(certificate.get());
        if (peer_) peer_->chain = chainOf(session_.get(), certificate.get());
    }
    return 0;
}

std::int32_t TlsStream::drive(const std::function<int(SSL*)>& call, int& done, Clock::time_point deadline) {
    for (;;) {
        ERR_clear_error();
        const int n = call(session_.get());
        const int error = SSL_get_error(session_.get(), n);
        const unsigned long queued = ERR_peek_error();
        // Records made (an answer, an alert) go out even when the call
        // failed, so that a refused peer learns why.
        const std::int32_t flushed = flush(deadline);
        if (n > 0) {
            done = n;
            return flushed;
        }
        if (error == SSL_ERROR_WANT_READ) {
            if (flushed != 0) return flushed;
            if (const std::int32_t filled = fill(deadline); filled != 0) return filled;
            continue;
        }
        if (error == SSL_ERROR_ZERO_RETURN) return WSAECONNRESET; // the peer's close notice
        failure_ = handshakeFailure(session_.get(), queued);
        ERR_clear_error();
        return WSAECONNABORTED;
    }
}

std::int32_t TlsStream::flush(Clock::time_point deadline) {
    char* data = nullptr;
    const long pending = BIO_get_mem_data(out_, &data);
    if (pending <= 0) return 0;
    const std::int32_t written = tcp_->writeAll({data, static_cast<std::size_t>(pending)}, deadline);
    (void)BIO_reset(out_);
    return written;
}

std::int32_t TlsStream::fill(Clock::time_point deadline) {
    std::array<char, 16 * 1024 + 512> chunk; // a whole record at most
    std::size_t got = 0;
    const std::int32_t received = tcp_->readSome(chunk, got, deadline);
    if (received != 0) return received;
    heard_ = true;
    return BIO_write(in_, chunk.data(), static_cast<int>(got)) == static_cast<int>(got) ? 0 : WSAENOBUFS;
}

std::int32_t TlsStream::readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) {
    got = 0;
    if (const std::int32_t shaken = ensureHandshake(deadline); shaken != 0) return shaken;
    const int size = static_cast<int>(std::min<std::size_t>(into.size(), INT_MAX));
    int done = 0;
    const std::int32_t result = drive([&](SSL* s) { return SSL_read(s, into.data(), size); }, done, deadline);
    if (result == 0) got = static_cast<std::size_t>(done);
    return result;
}

std::int32_t TlsStream::writeAll(std::string_view bytes, Clock::time_point deadline) {
    if (const std::int32_t shaken = ensureHandshake(deadline); shaken != 0)
        return shaken == WSAEWOULDBLOCK ? WSAETIMEDOUT : shaken;
    while (!bytes.empty()) {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        int done = 0;
        const std::int32_t result = drive([&](SSL* s) { return SSL_write(s, bytes.data(), size); }, done, deadline);
        if (result == WSAEWOULDBLOCK) return WSAETIMEDOUT;
        if (result != 0) return result;
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return 0;
}

void TlsStream::shutdownBoth() noexcept {
    tcp_->shutdownBoth();
}

std::int32_t TlsStream::close() noexcept {
    if (established_ && failed_ == 0 && session_) {
        ERR_clear_error();
        SSL_shutdown(session_.get());
        ERR_clear_error();
        (void)flush(Clock::now()); // no waiting for a peer that reads nothing
    }
    return tcp_->close();
}

} // namespace vexa
