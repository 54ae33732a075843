#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/line_socket.h"
#include "support/wire_message.h"

namespace vexa {

// One outgoing IPv4 TCP connection carrying text lines, every wait bounded
// by one time-out. Results are 0 or Windows Sockets error numbers (-1 never
// comes from here). Copying copies the time-out only.
class TcpClient {
public:
    static constexpr std::int32_t kDefaultTimeoutMs = 3000;
    // Longest line accepted: a 32 KiB message in hex and then some.
    static constexpr std::size_t kMaxLine = wire::kMaxLine;

    TcpClient();
    TcpClient(const TcpClient& other);
    TcpClient& operator=(const TcpClient& other);
    ~TcpClient();

    // Connects to host (dotted IPv4 or a name) and port. WSAECONNREFUSED
    // when nobody listens, WSAETIMEDOUT when no answer comes within the
    // time-out, WSAHOST_NOT_FOUND for a name that does not resolve. An open
    // connection is closed first.
    std::int32_t connect(std::string_view host, std::uint16_t port);
    std::int32_t sendLine(std::string_view text, bool cr) { return socket_.sendLine(text, cr, timeoutMs_); }
    // WSAEWOULDBLOCK when no whole line came within timeoutMs.
    std::int32_t receiveLine(std::string& line) { return receiveLine(line, timeoutMs_); }
    // The same with a time-out of its own for this line.
    std::int32_t receiveLine(std::string& line, std::int32_t timeoutMs) {
        return socket_.receiveLine(line, timeoutMs, kMaxLine);
    }
    std::int32_t close() { return socket_.close(); }
    bool isOpen() const { return socket_.valid(); }

    void setTimeout(std::int32_t ms) { timeoutMs_ = ms; }
    std::int32_t timeout() const { return timeoutMs_; }

    // TcpClient objects alive in the process, all threads together.
    static int liveCount() { return live_.load(); }

private:
    std::int32_t timeoutMs_ = kDefaultTimeoutMs;
    LineSocket socket_;
    static std::atomic<int> live_;
};

} // namespace vexa
