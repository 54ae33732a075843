#include "rpcsc/tcp_listener.h"

namespace vexa {

std::unique_ptr<TcpStream> TcpListener::accept(std::optional<platform::IpEndpoint>& peer) {
    platform::Socket socket = socket_.accept(peer);
    if (!socket.valid()) return nullptr;
    return std::make_unique<TcpStream>(std::move(socket));
}

} // namespace vexa
