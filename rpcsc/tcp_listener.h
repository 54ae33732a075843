#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/socket.h"
#include "rpcsc/tcp_stream.h"

namespace vexa {

// A listening TCP socket; hands out each accepted connection as a stream.
class TcpListener {
public:
    // Binds the first address of the name (IPv4 or IPv6 literal or a host
    // name) that can be bound, and listens; false with the reason when none
    // can.
    bool listen(const std::string& address, std::uint16_t port, std::string& failure) {
        return socket_.listen(address, port, failure);
    }
    // The address actually bound; nullopt when there is none.
    std::optional<platform::IpEndpoint> localEndpoint() const { return socket_.localEndpoint(); }
    // Ready to accept when this handle is readable.
    platform::WaitHandle handle() const { return socket_.handle(); }

    // The next waiting connection with TCP_NODELAY and its peer's address
    // (nullopt for a peer of no IP family); nullptr when none could be taken.
    std::unique_ptr<TcpStream> accept(std::optional<platform::IpEndpoint>& peer);

private:
    platform::ListeningSocket socket_;
};

} // namespace vexa
