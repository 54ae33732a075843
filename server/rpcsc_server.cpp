#include "server/rpcsc_server.h"

#include <PCSC/pcsclite.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "server/rpcsc_pcsc_session.h"
#include "server/rpcsc_request.h"
#include "support/system_error_text.h"
#include "support/wire_message.h"

namespace vexa::rpcsc {

void ServerLog::write(const char* level, const std::string& text) {
    std::time_t now = std::time(nullptr);
    char stamp[32];
    std::tm local{};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &local));
    std::lock_guard guard(lock_);
    std::cerr << stamp << ' ' << level << ' ' << text << '\n' << std::flush;
}

void ServerLog::info(const std::string& text) {
    write("INFO ", text);
}

void ServerLog::detail(const std::string& text) {
    if (verbose_) write("DEBUG", text);
}

void ServerLog::error(const std::string& text) {
    write("ERROR", text);
}

RpcscServer::RpcscServer(ServerOptions options, ServerLog& log) : options_(std::move(options)), log_(log) {}

RpcscServer::~RpcscServer() {
    stopAll();
}

bool RpcscServer::listen() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
        log_.error("Not an IPv4 address: " + options_.address);
        return false;
    }
    listener_ = LineSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener_.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!listener_.valid() || ::bind(listener_.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.fd(), 16) != 0) {
        log_.error("Cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
                   std::strerror(errno));
        return false;
    }
    socklen_t size = sizeof address;
    ::getsockname(listener_.fd(), reinterpret_cast<sockaddr*>(&address), &size);
    boundPort_ = ntohs(address.sin_port);
    log_.info("Listening on " + options_.address + ":" + std::to_string(boundPort_) + ", at most " +
              std::to_string(options_.maxConnections) + " connections");
    return true;
}

void RpcscServer::run(int stopFd) {
    pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        // Wake now and then to join the threads of ended connections.
        const int n = ::poll(fds, 2, 1000);
        if (n < 0 && errno != EINTR) {
            log_.error(std::string("poll: ") + std::strerror(errno));
            break;
        }
        reapFinished();
        if (n > 0 && fds[1].revents != 0) break;
        if (n > 0 && fds[0].revents != 0) accept();
    }
    log_.info("Shutting down");
    stopAll();
}

void RpcscServer::accept() {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    LineSocket socket(::accept4(listener_.fd(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
    if (!socket.valid()) return;
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    const std::string name = std::string(host) + ":" + std::to_string(ntohs(peer.sin_port));
    if (connections_.size() >= options_.maxConnections) {
        log_.error("Refusing " + name + ": " + std::to_string(options_.maxConnections) + " connections open");
        return; // closing the socket tells the client
    }
    const int on = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto connection = std::make_unique<Connection>();
    connection->socket = std::move(socket);
    connection->peer = name;
    Connection& c = *connection;
    connections_.push_back(std::move(connection));
    c.thread = std::thread([this, &c] { serve(c); });
    log_.detail("Connection from " + name);
}

void RpcscServer::serve(Connection& connection) {
    {
        PcscSession session;
        std::string line;
        for (;;) {
            // The idle time-out bounds each whole request line, so a client
            // trickling bytes is dropped as soon as a silent one.
            const std::int32_t received = connection.socket.receiveLine(line, options_.idleTimeoutMs, wire::kMaxLine);
            if (received == WSAEWOULDBLOCK) log_.detail(connection.peer + " idle, closing");
            if (received == WSAEMSGSIZE) log_.error(connection.peer + " sent an over-long line, closing");
            if (received != 0 || !answer(connection, line, session)) break;
        }
    } // the session's cards and contexts go before the thread reports done
    connection.socket.shutdownBoth();
    log_.detail("Connection from " + connection.peer + " ended");
    connection.done = true;
}

bool RpcscServer::answer(Connection& connection, const std::string& line, PcscSession& session) {
    Request request;
    wire::Writer reply;
    switch (parseRequest(line, request)) {
        case RequestError::notMessage:
            log_.error(connection.peer + " sent a line that is no request, closing");
            return false;
        case RequestError::unknownOp:
            reply = PcscSession::failure(request.op, static_cast<std::int32_t>(SCARD_E_UNSUPPORTED_FEATURE));
            break;
        case RequestError::badArguments:
            reply = PcscSession::failure(request.op, static_cast<std::int32_t>(SCARD_E_INVALID_PARAMETER));
            break;
        case RequestError::none:
            reply = session.handle(request);
            break;
    }
    log_.detail(connection.peer + " operation " + std::to_string(request.op));
    return reply.ok() && connection.socket.sendLine(reply.line(), false, options_.idleTimeoutMs) == 0;
}

void RpcscServer::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void RpcscServer::stopAll() {
    for (auto& c : connections_) c->socket.shutdownBoth();
    for (auto& c : connections_)
        if (c->thread.joinable()) c->thread.join();
    connections_.clear();
}

} // namespace vexa::rpcsc
