#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>

#include "rpcsc/tcp_stream.h"
#include "support/unique_fd.h"

namespace vexa {

// A listening TCP socket; hands out each accepted connection as a stream.
class TcpListener {
public:
    // Binds the first address of the name (IPv4 or IPv6 literal or a host
    // name) that can be bound, and listens; false with the reason when none
    // can.
    bool listen(const std::string& address, std::uint16_t port, std::string& failure);
    // The address actually bound; false when there is none.
    bool localAddress(sockaddr_storage& address, socklen_t& size) const;
    // Ready to accept when this descriptor is readable.
    int fd() const { return fd_.get(); }

    // The next waiting connection with TCP_NODELAY and its peer's address;
    // nullptr when none could be taken.
    std::unique_ptr<TcpStream> accept(sockaddr_storage& peer, socklen_t& size);

private:
    UniqueFd fd_;
};

} // namespace vexa
