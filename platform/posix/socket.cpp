#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/socket_api.h"

namespace vexa::platform {
namespace {

using Clock = Socket::Clock;

int fdOf(WaitHandle handle) {
    return static_cast<int>(handle);
}

void setTcpOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// One request line and one answer line in turn: never wait for Nagle. And a
// peer that vanishes is found dead within seconds, whether the link is idle
// (keepalive) or data waits for its acknowledgement (TCP_USER_TIMEOUT), not
// after the system's two hours or quarter of an hour.
void tuneConnection(int fd) {
    setTcpOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setTcpOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setTcpOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count()));
    setTcpOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count()));
    setTcpOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
#ifdef TCP_USER_TIMEOUT // Linux
    setTcpOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT,
                 static_cast<int>(std::chrono::milliseconds(kUnacknowledgedLimit).count()));
#endif
}

// Waits for a non-blocking connect to finish within timeoutMs.
int finishConnect(int fd, std::int32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (n == 0) return ETIMEDOUT;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        int err = 0;
        socklen_t size = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) return errno;
        return err;
    }
}

} // namespace

Socket::Socket(WaitHandle handle) noexcept : handle_(handle) {}

Socket::Socket(Socket&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoWaitHandle)),
      mode_(std::exchange(other.mode_, Mode::unknown)),
      receiveTimeoutMs_(std::exchange(other.receiveTimeoutMs_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kNoWaitHandle);
        mode_ = std::exchange(other.mode_, Mode::unknown);
        receiveTimeoutMs_ = std::exchange(other.receiveTimeoutMs_, -1);
    }
    return *this;
}

int Socket::connect(const IpEndpoint& to, std::int32_t timeoutMs, Socket& connected) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    std::memcpy(&address.sin_addr, to.address.data() + 12, 4);

    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.valid()) return errno;
    const int fd = fdOf(s.handle_);
    tuneConnection(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return errno;
        if (const int finished = finishConnect(fd, timeoutMs); finished != 0) return finished;
    }
    // Non-blocking only to bound the connect: on a blocking socket a receive
    // waits in recv itself, one system call less per answer. Sends never
    // block either way.
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    connected = std::move(s);
    return 0;
}

int Socket::waitUntil(short events, Clock::time_point deadline) const {
    pollfd p{fdOf(handle_), events, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int n = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (n > 0) return 0; // errors and hang-ups show in the next call
        if (n == 0 && left <= 0) return EWOULDBLOCK;
        if (n < 0 && errno != EINTR) return errno;
    }
}

int Socket::writeAll(std::string_view bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fdOf(handle_), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (waitUntil(POLLOUT, deadline) != 0) return ETIMEDOUT;
    }
    return 0;
}

int Socket::readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) {
    got = 0;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        // Past the deadline only what has already come is taken.
        const bool wait = left > 0 && blocking() && setReceiveTimeout(left);
        if (!wait && left > 0) {
            if (const int waited = waitUntil(POLLIN, deadline); waited != 0) return waited;
        }
        const ssize_t n = ::recv(fdOf(handle_), into.data(), into.size(), wait ? 0 : MSG_DONTWAIT);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (errno != EINTR && left <= 0) return EWOULDBLOCK;
    }
}

bool Socket::blocking() {
    if (mode_ == Mode::unknown) {
        const int flags = ::fcntl(fdOf(handle_), F_GETFL);
        mode_ = flags >= 0 && (flags & O_NONBLOCK) == 0 ? Mode::blocking : Mode::nonBlocking;
    }
    return mode_ == Mode::blocking;
}

bool Socket::setReceiveTimeout(long long ms) {
    // Each line starts with the same time-out, so this is set once per
    // socket, and again only after a line that came in pieces.
    if (ms == receiveTimeoutMs_) return true;
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    if (::setsockopt(fdOf(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        receiveTimeoutMs_ = -1;
        return false;
    }
    receiveTimeoutMs_ = ms;
    return true;
}

void Socket::shutdownBoth() noexcept {
    if (valid()) ::shutdown(fdOf(handle_), SHUT_RDWR);
}

int Socket::close() noexcept {
    mode_ = Mode::unknown;
    receiveTimeoutMs_ = -1;
    if (!valid()) return 0;
    return ::close(fdOf(std::exchange(handle_, kNoWaitHandle))) == 0 ? 0 : errno;
}

ListeningSocket::~ListeningSocket() = default;

bool ListeningSocket::listen(const std::string& address, std::uint16_t port, std::string& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int r = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); r != 0) {
        failure = ::gai_strerror(r);
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, ::freeaddrinfo);
    // The first address of the name that can be bound.
    for (const addrinfo* a = found; a != nullptr && !handle_.valid(); a = a->ai_next) {
        Socket socket(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int fd = fdOf(socket.handle());
        const int on = 1;
        if (socket.valid()) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (socket.valid() && ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0)
            handle_ = std::move(socket);
        else
            failure = std::strerror(errno);
    }
    return handle_.valid();
}

std::optional<IpEndpoint> ListeningSocket::localEndpoint() const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fdOf(handle_.handle()), reinterpret_cast<sockaddr*>(&address), &size) != 0) return std::nullopt;
    return endpointOf(address, size);
}

Socket ListeningSocket::accept(std::optional<IpEndpoint>& peer) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    Socket socket(::accept4(fdOf(handle_.handle()), reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC));
    if (!socket.valid()) return socket;
    tuneConnection(fdOf(socket.handle()));
    peer = endpointOf(address, size);
    return socket;
}

void startSockets() {}

} // namespace vexa::platform
