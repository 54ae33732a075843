#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/socket.h"
#include "rpcsc/byte_stream.h"

namespace vexa {

// A connected TCP socket as a byte stream; owns the socket.
class TcpStream final : public ByteStream {
public:
    explicit TcpStream(platform::Socket socket) : socket_(std::move(socket)) {}

    // Connects to host (dotted IPv4 or a name) and port within timeoutMs,
    // with TCP_NODELAY. WSAECONNREFUSED when nobody listens, WSAETIMEDOUT
    // when no answer comes in time, WSAHOST_NOT_FOUND for a name that does
    // not resolve.
    static std::int32_t connect(std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                std::unique_ptr<ByteStream>& stream);

    std::int32_t readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) override;
    std::int32_t writeAll(std::string_view bytes, Clock::time_point deadline) override;
    void shutdownBoth() noexcept override;
    std::int32_t close() noexcept override;

    // Readable when data or a hang-up has come.
    platform::WaitHandle handle() const { return socket_.handle(); }

private:
    platform::Socket socket_;
};

} // namespace vexa
