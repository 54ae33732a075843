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
#include <system_error>

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

// " and resetting its card" and the like, when the connection held any.
std::string cardsSuffix(std::size_t cards) {
    if (cards == 0) return {};
    return cards == 1 ? " and resetting its card" : " and resetting its " + std::to_string(cards) + " cards";
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
    if (const std::string why = makeRoom(address, name); !why.empty()) {
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
    if (startThread(connections_.insert(connections_.end(), std::move(connection))))
        log_.info("Connection from " + name);
}

bool RpcscServer::startThread(std::list<std::unique_ptr<Connection>>::iterator connection) {
    Connection& c = **connection;
    try {
        c.thread = std::thread([this, &c] { serve(c); });
        return true;
    } catch (const std::system_error& e) {
        // Out of threads (a process limit, memory): this connection is
        // refused, the others go on.
        log_.error("Refusing " + c.peer + ": cannot start a thread for it (" + e.what() + ")");
    }
    connections_.erase(connection);
    return false;
}

std::string RpcscServer::makeRoom(const PeerAddress& address, const std::string& name) {
    using Stage = Connection::Stage;
    if (!options_.allow.allows(address)) return "address not allowed";
    const auto count = [&](auto&& which) {
        return static_cast<std::size_t>(
            std::count_if(connections_.begin(), connections_.end(), [&](const auto& c) { return which(*c); }));
    };
    if (!options_.clients) {
        // Plain: nobody can prove who they are, so every connection counts
        // for its address.
        if (connections_.size() >= options_.maxConnections)
            return std::to_string(options_.maxConnections) + " connections open";
        if (const auto fromPeer = count([&](const Connection& c) { return c.address == address; });
            fromPeer >= options_.maxPerPeer)
            return std::to_string(fromPeer) + " connections open from this address";
        return {};
    }
    // Dropped handshakes end at once; their places are free already.
    const auto handshakes =
        count([&](const Connection& c) { return c.address == address && c.stage == Stage::handshaking; });
    if (handshakes >= options_.maxPerPeer)
        dropOldestHandshake(&address,
                            std::to_string(handshakes) + " handshakes in progress from this address, " + name + " new");
    const auto open = count([](const Connection& c) { return c.stage != Stage::dropped && !c.done; });
    if (open >= options_.maxConnections &&
        !dropOldestHandshake(nullptr, std::to_string(open) + " connections open, " + name + " new"))
        return std::to_string(open) + " connections open, all with a certificate";
    return {};
}

bool RpcscServer::dropOldestHandshake(const PeerAddress* address, const std::string& why) {
    for (auto& c : connections_) { // oldest first
        if (address && c->address != *address) continue;
        auto stage = Connection::Stage::handshaking;
        if (!c->stage.compare_exchange_strong(stage, Connection::Stage::dropped)) continue;
        c->channel.shutdownBoth();
        log_.info("Dropping the unfinished handshake of " + c->peer + ": " + why);
        return true;
    }
    return false;
}

void RpcscServer::serve(Connection& connection) {
    if (admitted(connection)) {
        PcscSession session(connection.grant);
        {
            const std::lock_guard guard(grantsLock_);
            connection.session = &session;
        }
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
            // Its cards are reset and released as the session ends, below.
            if (peerVanished(received))
                log_.info(connection.peer + " no longer answers, closing" + cardsSuffix(session.cardCount()));
            if (received != 0 || !answer(connection, line, session)) break;
        }
        const std::lock_guard guard(grantsLock_);
        connection.session = nullptr;
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
    using Stage = Connection::Stage;
    std::string failure;
    const bool secured = options_.clients != nullptr;
    const std::int32_t result =
        connection.channel.handshake(secured ? options_.handshakeTimeoutMs : options_.lineTimeoutMs, failure);
    auto stage = Stage::handshaking;
    if (!connection.stage.compare_exchange_strong(stage, Stage::established)) return false; // dropped, and logged
    if (result != 0) {
        // A port probe that connects and says nothing is no attack.
        if (connection.channel.peerSilent())
            log_.info("Closing " + connection.peer + ": it sent nothing (" + failure + ")");
        else
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
            connection.shown = *certificate;
            connection.grant = *grant;
        }
        if (open == 0) perCertificate_.erase(certificate->fingerprintHex);
    }
    if (!why.empty()) {
        log_.error("Refusing " + connection.peer + ": " + why);
        return false;
    }
    log_.info("Admitted " + connection.peer + " to " +
              (connection.grant.allReaders() ? "every reader" : "the readers " + connection.grant.text()));
    return true;
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
        if (c->certificate.empty() || c->done || c->closing) continue;
        const std::string why = revocation(*c);
        if (why.empty()) continue;
        log_.info("Closing the connection from " + c->peer + ": its certificate " + why);
        c->closing = true;
        c->channel.shutdownBoth();
        // A card call waiting on pcscd would hold the thread for its whole wait.
        if (c->session) c->session->cancelWaits();
    }
}

std::string RpcscServer::revocation(const Connection& connection) const {
    const auto grant = options_.clients->grantFor(connection.certificate);
    if (!grant) return "is no longer admitted";
    if (!(*grant == connection.grant)) return "was granted other readers";
    if (options_.untrusted)
        if (const std::string why = options_.untrusted(connection.shown); !why.empty())
            return "no longer comes from the CA (" + why + ")";
    return {};
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
