#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/unique_fd.h"

namespace vexa {

// One connected stream socket that carries LF-terminated text lines: owns the
// descriptor, buffers what arrived beyond a line, and bounds each line by one
// deadline that starts with the call: however the peer paces its bytes, a
// line takes at most timeoutMs. Results are 0 or Windows Sockets error
// numbers, as the remote PC/SC layers report them. Used by one thread at a
// time.
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
    // WSAETIMEDOUT when the peer has not taken the whole line after
    // timeoutMs.
    std::int32_t sendLine(std::string_view text, bool cr, std::int32_t timeoutMs);
    // The next line without its LF and without any CR. WSAEWOULDBLOCK when
    // no whole line came within timeoutMs, WSAECONNRESET when the peer closed
    // (line holds what came), WSAEMSGSIZE for a line of more than maxLength
    // bytes before its LF, CRs included (everything buffered is dropped).
    std::int32_t receiveLine(std::string& line, std::int32_t timeoutMs, std::size_t maxLength);
    // Waits until bytes of a next line are here, buffering what arrives, so
    // that a caller can give the wait for a line and the line itself
    // deadlines of their own. 0 when bytes are buffered, WSAEWOULDBLOCK after
    // timeoutMs without any, WSAECONNRESET when the peer closed.
    std::int32_t awaitBytes(std::int32_t timeoutMs);
    // Ends both directions so that a thread waiting on the socket wakes up;
    // the descriptor stays until close.
    void shutdownBoth() noexcept;
    // 0, or the error number of close(2); 0 when nothing was open.
    std::int32_t close() noexcept;

    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }

private:
    // Waits for the events; 0 when ready, WSAEWOULDBLOCK once the deadline
    // has passed.
    std::int32_t waitUntil(short events, std::chrono::steady_clock::time_point deadline) const;
    // Appends what has arrived to pending_, waiting until the deadline at
    // most; 0, WSAEWOULDBLOCK, WSAECONNRESET for the peer's end, or an error.
    std::int32_t receiveMore(std::chrono::steady_clock::time_point deadline);
    // On a blocking socket recv itself waits, bounded by SO_RCVTIMEO: one
    // system call per answer instead of poll and recv.
    bool blocking();
    bool setReceiveTimeout(long long ms);

    enum class Mode { unknown, blocking, nonBlocking };

    UniqueFd fd_;
    std::string pending_;     // bytes received after the last line taken
    std::size_t scanned_ = 0; // pending_ holds no LF before this offset
    Mode mode_ = Mode::unknown;
    long long receiveTimeoutMs_ = -1; // SO_RCVTIMEO as last set; -1: unknown
};

} // namespace vexa
