#include "support/tcp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "support/system_error_text.h"

namespace vexa {

std::atomic<int> TcpClient::live_{0};

namespace {

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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

TcpClient::TcpClient() {
    ++live_;
}

TcpClient::TcpClient(const TcpClient& other) : timeoutMs_(other.timeoutMs_) {
    ++live_;
}

TcpClient& TcpClient::operator=(const TcpClient& other) {
    if (this != &other) {
        socket_.close();
        timeoutMs_ = other.timeoutMs_;
    }
    return *this;
}

TcpClient::~TcpClient() {
    --live_;
}

std::int32_t TcpClient::connect(std::string_view host, std::uint16_t port) {
    socket_.close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (const std::int32_t resolved = resolve(host, address.sin_addr); resolved != 0) return resolved;

    LineSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s.valid()) return winsockErrorFromErrno(errno);
    // One request line and one answer line in turn: never wait for Nagle.
    const int on = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) return winsockErrorFromErrno(errno);
        if (const std::int32_t finished = finishConnect(s.fd(), timeoutMs_); finished != 0) return finished;
    }
    // Non-blocking only to bound the connect: on a blocking socket a receive
    // waits in recv itself, one system call less per answer. Sends never
    // block either way.
    if (const int flags = ::fcntl(s.fd(), F_GETFL); flags >= 0) ::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK);
    socket_ = std::move(s);
    return 0;
}

} // namespace vexa
