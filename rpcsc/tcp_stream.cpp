#include "rpcsc/tcp_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "rpcsc/winsock_error.h"

namespace vexa {
namespace {

using Clock = ByteStream::Clock;

// The IPv4 address of a dotted text or a host name; 0 or WSAHOST_NOT_FOUND.
std::int32_t resolve(std::string_view host, in_addr& address) {
    const std::string name(host);
    if (::inet_pton(AF_INET, name.c_str(), &address) == 1) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return WSAHOST_NOT_FOUND;
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 0;
}

// Waits for a non-blocking connect to finish within timeoutMs.
std::int32_t finishConnect(int fd, std::int32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (n == 0) return WSAETIMEDOUT;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return winsockErrorFromErrno(errno);
        int err = 0;
        socklen_t size = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) return winsockErrorFromErrno(errno);
        return winsockErrorFromErrno(err);
    }
}

} // namespace

std::int32_t TcpStream::connect(std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                std::unique_ptr<ByteStream>& stream) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (const std::int32_t resolved = resolve(host, address.sin_addr); resolved != 0) return resolved;

    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.valid()) return winsockErrorFromErrno(errno);
    // One request line and one answer line in turn: never wait for Nagle.
    const int on = 1;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return winsockErrorFromErrno(errno);
        if (const std::int32_t finished = finishConnect(s.get(), timeoutMs); finished != 0) return finished;
    }
    // Non-blocking only to bound the connect: on a blocking socket a receive
    // waits in recv itself, one system call less per answer. Sends never
    // block either way.
    if (const int flags = ::fcntl(s.get(), F_GETFL); flags >= 0) ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
    stream = std::make_unique<TcpStream>(std::move(s));
    return 0;
}

std::int32_t TcpStream::waitUntil(short events, Clock::time_point deadline) const {
    pollfd p{fd_.get(), events, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int n = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (n > 0) return 0; // errors and hang-ups show in the next call
        if (n == 0 && left <= 0) return WSAEWOULDBLOCK;
        if (n < 0 && errno != EINTR) return winsockErrorFromErrno(errno);
    }
}

std::int32_t TcpStream::writeAll(std::string_view bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return winsockErrorFromErrno(errno);
        if (waitUntil(POLLOUT, deadline) != 0) return WSAETIMEDOUT;
    }
    return 0;
}

std::int32_t TcpStream::readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) {
    got = 0;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        // Past the deadline only what has already come is taken.
        const bool wait = left > 0 && blocking() && setReceiveTimeout(left);
        if (!wait && left > 0) {
            if (const std::int32_t waited = waitUntil(POLLIN, deadline); waited != 0) return waited;
        }
        const ssize_t n = ::recv(fd_.get(), into.data(), into.size(), wait ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        if (n == 0) return WSAECONNRESET;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return winsockErrorFromErrno(errno);
        if (errno != EINTR && left <= 0) return WSAEWOULDBLOCK;
    }
}

bool TcpStream::blocking() {
    if (mode_ == Mode::unknown) {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        mode_ = flags >= 0 && (flags & O_NONBLOCK) == 0 ? Mode::blocking : Mode::nonBlocking;
    }
    return mode_ == Mode::blocking;
}

bool TcpStream::setReceiveTimeout(long long ms) {
    // Each line starts with the same time-out, so this is set once per
    // socket, and again only after a line that came in pieces.
    if (ms == receiveTimeoutMs_) return true;
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        receiveTimeoutMs_ = -1;
        return false;
    }
    receiveTimeoutMs_ = ms;
    return true;
}

void TcpStream::shutdownBoth() noexcept {
    if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}

std::int32_t TcpStream::close() noexcept {
    mode_ = Mode::unknown;
    receiveTimeoutMs_ = -1;
    if (!fd_.valid()) return 0;
    return fd_.close() == 0 ? 0 : winsockErrorFromErrno(errno);
}

} // namespace vexa
