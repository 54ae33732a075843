#include "server/rpcsc_server.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pcsc/card.h"
#include "pcsc/pcsc_error_text.h"
#include "platform/free_memory.h"
#include "platform/input_wait.h"
#include "rpcsc/rpcsc_request.h"
#include "rpcsc/winsock_error.h"
#include "server/rpcsc_pcsc_session.h"
#include "support/date_time.h"

namespace vexa::rpcsc {

void ServerLog::write(int priority, const char* level, const std::string& text) {
    std::string prefix;
    if (stamped_) {
        char stamp[64];
        const DateTime now(true);
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", now.year(), now.month(), now.day(),
                      now.hour(), now.minute(), now.second());
        prefix = stamp;
    } else {
        prefix = "<" + std::to_string(priority) + ">";
    }
    std::lock_guard guard(lock_);
    out_ << prefix << level << ' ' << text << '\n' << std::flush;
}

// Priorities as syslog(3) numbers them.
void ServerLog::info(const std::string& text) {
    write(6, "INFO ", text);
}

void ServerLog::detail(const std::string& text) {
    if (verbose_) write(7, "DEBUG", text);
}

void ServerLog::error(const std::string& text) {
    write(3, "ERROR", text);
}

RpcscServer::RpcscServer(ServerOptions options, ServerLog& log) : options_(std::move(options)), log_(log) {}

RpcscServer::~RpcscServer() {
    stopAll();
}

namespace {

// "a.b.c.d:port" or "[v6]:port".
std::string endpointText(const PeerAddress& address, std::uint16_t port) {
    const std::string host = addressText(address);
    return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
}

// " (the PC/SC library's text)" for a failed PC/SC call, "" for success.
std::string failureSuffix(std::int32_t result) {
    if (result == 0) return {};
    return " (" + pcsc::libraryText(result) + ")";
}

} // namespace

bool RpcscServer::listen() {
    const std::string where = options_.address + " port " + std::to_string(options_.port);
    if (std::string failure; !listener_.listen(options_.address, options_.port, failure)) {
        log_.error("Cannot listen on " + where + ": " + failure);
        return false;
    }
    const auto bound = listener_.localEndpoint();
    boundPort_ = bound ? bound->port : 0;
    log_.info("Listening on " + (bound ? endpointText(bound->address, boundPort_) : where) + ", at most " +
              std::to_string(options_.maxConnections) + " connections, " + std::to_string(options_.maxPerPeer) +
              " per address");
    return true;
}

void RpcscServer::run(platform::WaitHandle stop) {
    const std::array<platform::WaitHandle, 4> handles{listener_.handle(), stop, ended_.handle(), options_.reloadSignal};
    std::array<bool, 4> ready{};
    for (;;) {
        // Wake now and then as well, should the wake signal be missing.
        const int n = platform::waitReadable(handles, ready, 1000);
        if (n < 0 && errno != EINTR) {
            log_.error(std::string("poll: ") + std::strerror(errno));
            break;
        }
        // Cleared only: ended connections are found by their flag.
        if (n > 0 && ready[2]) ended_.clear();
        returnFreedMemory(reapFinished());
        if (n > 0 && ready[1]) break;
        if (n > 0 && ready[3] && options_.reload) {
            options_.reload(log_);
            closeRevoked();
        }
        if (n > 0 && ready[0]) accept();
    }
    log_.info("Shutting down");
    stopAll();
}

void RpcscServer::accept() {
    std::optional<platform::IpEndpoint> peer;
    std::unique_ptr<TcpStream> stream = listener_.accept(peer);
    if (!stream) return;
    if (!peer) return; // no IP peer: nothing to check it against
    const PeerAddress& address = peer->address;
    const std::string name = endpointText(address, peer->port);
    if (const std::string why = refusal(address); !why.empty()) {
        log_.error("Refusing " + name + ": " + why);
        return; // closing the socket tells the client
    }
    auto connection = std::make_unique<Connection>();
    if (options_.streamFor)
        connection->channel = LineChannel(options_.streamFor(std::move(stream)));
    else
        connection->channel = LineChannel(std::move(stream));
    connection->address = address;
    connection->peer = name;
    Connection& c = *connection;
    connections_.push_back(std::move(connection));
    c.thread = std::thread([this, &c] { serve(c); });
    log_.info("Connection from " + name);
}

std::string RpcscServer::refusal(const PeerAddress& address) const {
    if (!options_.allow.allows(address)) return "address not allowed";
    if (connections_.size() >= options_.maxConnections)
        return std::to_string(options_.maxConnections) + " connections open";
    // A TLS server counts a client's connections by its certificate once
    // the handshake shows it; until then, by address.
    const bool byCertificate = options_.clients != nullptr;
    const auto fromPeer = std::count_if(connections_.begin(), connections_.end(), [&](const auto& c) {
        return c->address == address && (!byCertificate || c->handshaking);
    });
    if (static_cast<std::size_t>(fromPeer) >= options_.maxPerPeer)
        return std::to_string(fromPeer) + (byCertificate ? " handshakes in progress" : " connections open") +
               " from this address";
    return {};
}

void RpcscServer::serve(Connection& connection) {
    if (admitted(connection)) {
        PcscSession session(connection.grant);
        SecureString line; // requests carry PINs
        for (;;) {
            // A client may think between requests for the idle time, but once
            // a line has begun it has one deadline however it paces its bytes.
            std::int32_t received = awaitRequest(connection, session);
            if (received == WSAEWOULDBLOCK) log_.detail(connection.peer + " idle, closing");
            if (received == 0) {
                received = connection.channel.receiveLine(line, options_.lineTimeoutMs, wire::kMaxLine);
                if (received == WSAEWOULDBLOCK) log_.error(connection.peer + " sent no whole line in time, closing");
            }
            if (received == WSAEMSGSIZE) log_.error(connection.peer + " sent an over-long line, closing");
            if (received != 0 || !answer(connection, line, session)) break;
        }
    } // the session's cards and contexts go before the thread reports done
    connection.channel.shutdownBoth();
    if (!connection.certificate.empty()) {
        const std::lock_guard guard(grantsLock_);
        if (const auto it = perCertificate_.find(connection.certificate);
            it != perCertificate_.end() && --it->second == 0)
            perCertificate_.erase(it);
    }
    log_.info("Connection from " + connection.peer + " closed");
    connection.done = true;
    ended_.signal();
}

bool RpcscServer::admitted(Connection& connection) {
    std::string failure;
    const std::int32_t result = connection.channel.handshake(options_.lineTimeoutMs, failure);
    connection.handshaking = false;
    if (result != 0) {
        log_.error("Refusing " + connection.peer + ": " + failure);
        return false;
    }
    const PeerCertificate* certificate = connection.channel.peerCertificate();
    if (!certificate) return true; // plain
    log_.info("TLS connection from " + connection.peer + ": certificate " + certificate->fingerprint + ", subject " +
              certificate->subject);
    std::string why;
    {
        const std::lock_guard guard(grantsLock_);
        const auto grant = options_.clients ? options_.clients->grantFor(certificate->fingerprintHex) : std::nullopt;
        std::size_t& open = perCertificate_[certificate->fingerprintHex];
        if (!grant) {
            why = "certificate " + certificate->fingerprint + " not admitted";
        } else if (open >= options_.maxPerPeer) {
            why = std::to_string(open) + " connections open with certificate " + certificate->fingerprint;
        } else {
            ++open;
            connection.certificate = certificate->fingerprintHex;
            connection.grant = *grant;
        }
        if (open == 0) perCertificate_.erase(certificate->fingerprintHex);
    }
    if (why.empty()) return true;
    log_.error("Refusing " + connection.peer + ": " + why);
    return false;
}

std::int32_t RpcscServer::awaitRequest(Connection& connection, PcscSession& session) {
    using Clock = std::chrono::steady_clock;
    const auto quietSince = Clock::now();
    const auto idleEnd = quietSince + std::chrono::milliseconds(options_.idleTimeoutMs);
    for (;;) {
        // Other clients' calls on the card wait behind a transaction: one
        // whose client went quiet ends with a card reset.
        const bool holding = session.holdsTransaction();
        const auto wake = holding ? std::min(idleEnd, quietSince + pcsc::kIdleTransactionLimit) : idleEnd;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
        const std::int32_t received =
            connection.channel.awaitBytes(static_cast<std::int32_t>(std::clamp<decltype(left)>(left, 0, INT32_MAX)));
        if (received != WSAEWOULDBLOCK || !holding || Clock::now() >= idleEnd) return received;
        const std::int32_t result = session.endTransactionsWithReset();
        log_.info("Transaction of " + connection.peer + " without a request for " +
                  std::to_string(pcsc::kIdleTransactionLimit.count()) + " s: ended with a card reset" +
                  failureSuffix(result));
    }
}

bool RpcscServer::answer(Connection& connection, std::string_view line, PcscSession& session) {
    const Reply reply = answerRequest(line, session);
    if (!reply.answered) {
        log_.error(connection.peer + " sent a line that is no request, closing");
        return false;
    }
    log_.detail(connection.peer + " operation " + std::to_string(reply.op));
    return reply.answer.ok() && connection.channel.sendLine(reply.answer.line(), false, options_.idleTimeoutMs) == 0;
}

void RpcscServer::closeRevoked() {
    if (!options_.clients) return;
    const std::lock_guard guard(grantsLock_);
    for (auto& c : connections_) {
        if (c->certificate.empty() || c->done) continue;
        const auto grant = options_.clients->grantFor(c->certificate);
        if (grant && *grant == c->grant) continue;
        log_.info("Closing the connection from " + c->peer + ": its certificate " +
                  (grant ? "was granted other readers" : "is no longer admitted"));
        c->channel.shutdownBoth();
    }
}

std::size_t RpcscServer::reapFinished() {
    std::size_t ended = 0;
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = connections_.erase(it);
            ++ended;
        } else {
            ++it;
        }
    }
    return ended;
}

void RpcscServer::returnFreedMemory(std::size_t ended) {
    endedSinceReturn_ += ended;
    if (endedSinceReturn_ == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!connections_.empty() && now - lastReturn_ < std::chrono::seconds(1)) return;
    platform::returnFreeMemory();
    endedSinceReturn_ = 0;
    lastReturn_ = now;
}

void RpcscServer::stopAll() {
    for (auto& c : connections_) c->channel.shutdownBoth();
    for (auto& c : connections_)
        if (c->thread.joinable()) c->thread.join();
    connections_.clear();
}

} // namespace vexa::rpcsc
