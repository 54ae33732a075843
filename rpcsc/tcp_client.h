#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "rpcsc/byte_stream.h"
#include "rpcsc/line_channel.h"
#include "rpcsc/wire_message.h"

namespace vexa {

// Opens a byte stream to host and port within timeoutMs: 0, or a Windows
// Sockets error number. TcpStream::connect is the plain one; a secured
// stream would connect through it and wrap what it gets.
using StreamConnector = std::function<std::int32_t(std::string_view host, std::uint16_t port, std::int32_t timeoutMs,
                                                   std::unique_ptr<ByteStream>& stream)>;

// One outgoing connection carrying text lines, every wait bounded by one
// time-out. Results are 0 or Windows Sockets error numbers (-1 never comes
// from here). Copying copies the time-out and the connector only.
class TcpClient {
public:
    static constexpr std::int32_t kDefaultTimeoutMs = 3000;
    // Longest line accepted: a 32 KiB message in hex and then some.
    static constexpr std::size_t kMaxLine = wire::kMaxLine;

    // Connects over plain TCP.
    TcpClient();
    explicit TcpClient(StreamConnector connector);
    TcpClient(const TcpClient& other);
    TcpClient& operator=(const TcpClient& other);
    ~TcpClient();

    // Connects to host (dotted IPv4 or a name) and port. WSAECONNREFUSED
    // when nobody listens, WSAETIMEDOUT when no answer comes within the
    // time-out, WSAHOST_NOT_FOUND for a name that does not resolve. An open
    // connection is closed first.
    std::int32_t connect(std::string_view host, std::uint16_t port);
    std::int32_t sendLine(std::string_view text, bool cr) { return channel_.sendLine(text, cr, timeoutMs_); }
    // WSAEWOULDBLOCK when no whole line came within timeoutMs.
    std::int32_t receiveLine(SecureString& line) { return receiveLine(line, timeoutMs_); }
    // The same with a time-out of its own for this line.
    std::int32_t receiveLine(SecureString& line, std::int32_t timeoutMs) {
        return channel_.receiveLine(line, timeoutMs, kMaxLine);
    }
    std::int32_t close() { return channel_.close(); }
    bool isOpen() const { return channel_.valid(); }

    void setTimeout(std::int32_t ms) { timeoutMs_ = ms; }
    std::int32_t timeout() const { return timeoutMs_; }

    // TcpClient objects alive in the process, all threads together.
    static int liveCount() { return live_.load(); }

private:
    std::int32_t timeoutMs_ = kDefaultTimeoutMs;
    StreamConnector connector_;
    LineChannel channel_;
    static std::atomic<int> live_;
};

} // namespace vexa
