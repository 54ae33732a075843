#include "rpcsc/tcp_listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>

namespace vexa {

bool TcpListener::listen(const std::string& address, std::uint16_t port, std::string& failure) {
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
    for (const addrinfo* a = found; a != nullptr && !fd_.valid(); a = a->ai_next) {
        UniqueFd socket(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        if (socket.valid()) ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (socket.valid() && ::bind(socket.get(), a->ai_addr, a->ai_addrlen) == 0 &&
            ::listen(socket.get(), SOMAXCONN) == 0)
            fd_ = std::move(socket);
        else
            failure = std::strerror(errno);
    }
    return fd_.valid();
}

bool TcpListener::localAddress(sockaddr_storage& address, socklen_t& size) const {
    size = sizeof address;
    return ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0;
}

std::unique_ptr<TcpStream> TcpListener::accept(sockaddr_storage& peer, socklen_t& size) {
    size = sizeof peer;
    UniqueFd socket(::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
    if (!socket.valid()) return nullptr;
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return std::make_unique<TcpStream>(std::move(socket));
}

} // namespace vexa
