#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexa {

// One connected stream socket that carries LF-terminated text lines: owns the
// descriptor, buffers what arrived beyond a line, and bounds every wait by a
// time-out. Results are 0 or Windows Sockets error numbers, as the remote
// PC/SC layers report them. Used by one thread at a time.
class LineSocket {
public:
    LineSocket() = default;
    explicit LineSocket(int fd) : fd_(fd) {}
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;
    LineSocket(LineSocket&& other) noexcept;
    LineSocket& operator=(LineSocket&& other) noexcept;
    ~LineSocket() { close(); }

    // Sends text, CR when asked, and LF; all bytes or an error number.
    // WSAETIMEDOUT when the peer takes nothing for timeoutMs.
    std::int32_t sendLine(std::string_view text, bool cr, std::int32_t timeoutMs);
    // The next line without its LF and without any CR. WSAEWOULDBLOCK after
    // timeoutMs without a byte, WSAECONNRESET when the peer closed (line
    // holds what came), WSAEMSGSIZE for a line longer than maxLength.
    std::int32_t receiveLine(std::string& line, std::int32_t timeoutMs, std::size_t maxLength);
    // Ends both directions so that a thread waiting on the socket wakes up;
    // the descriptor stays until close.
    void shutdownBoth() noexcept;
    // 0, or the error number of close(2); 0 when nothing was open.
    std::int32_t close() noexcept;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    // Waits for the events; 0 when ready, WSAEWOULDBLOCK at the time-out.
    std::int32_t waitFor(short events, std::int32_t timeoutMs) const;
    // Takes one line out of pending_ when it holds an LF.
    bool takeLine(std::string& line);

    int fd_ = -1;
    std::string pending_; // bytes received after the last line taken
};

} // namespace vexa
