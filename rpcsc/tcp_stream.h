#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "rpcsc/byte_stream.h"
#include "support/unique_fd.h"

namespace vexa {

// A connected TCP socket as a byte stream; owns the descriptor.
class TcpStream final : public ByteStream {
public:
    explicit TcpStream(UniqueFd fd) : fd_(std::move(fd)) {}

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

    int fd() const { return fd_.get(); }

private:
    // Waits for the events; 0 when ready, WSAEWOULDBLOCK once the deadline
    // has passed.
    std::int32_t waitUntil(short events, Clock::time_point deadline) const;
    // On a blocking socket recv itself waits, bounded by SO_RCVTIMEO: one
    // system call per answer instead of poll and recv.
    bool blocking();
    bool setReceiveTimeout(long long ms);

    enum class Mode { unknown, blocking, nonBlocking };

    UniqueFd fd_;
    Mode mode_ = Mode::unknown;
    long long receiveTimeoutMs_ = -1; // SO_RCVTIMEO as last set; -1: unknown
};

} // namespace vexa
