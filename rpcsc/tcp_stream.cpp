#include "rpcsc/tcp_stream.h"

#include "platform/ip_address.h"
#include "rpcsc/winsock_error.h"

namespace vexa {

std::int32_t TcpStream::connect(std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                std::unique_ptr<ByteStream>& stream) {
    const auto address = platform::resolveIpv4(host);
    if (!address) return WSAHOST_NOT_FOUND;
    platform::Socket socket;
    if (const int failed = platform::Socket::connect({*address, port}, timeoutMs, socket); failed != 0)
        return winsockErrorFromErrno(failed);
    stream = std::make_unique<TcpStream>(std::move(socket));
    return 0;
}

std::int32_t TcpStream::writeAll(std::string_view bytes, Clock::time_point deadline) {
    return winsockErrorFromErrno(socket_.writeAll(bytes, deadline));
}

std::int32_t TcpStream::readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) {
    const int failed = socket_.readSome(into, got, deadline);
    if (failed == 0 && got == 0) return WSAECONNRESET; // the peer closed its side
    return winsockErrorFromErrno(failed);
}

void TcpStream::shutdownBoth() noexcept {
    socket_.shutdownBoth();
}

std::int32_t TcpStream::close() noexcept {
    return winsockErrorFromErrno(socket_.close());
}

} // namespace vexa
