#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vexa {

// A connected, ordered stream of bytes under the remote PC/SC lines: TCP
// today, a TLS session over TCP tomorrow. Every wait is bounded by a
// deadline the caller fixes, so that a line keeps one deadline however many
// reads it takes. Results are 0 or Windows Sockets error numbers. Used by one
// thread at a time, except shutdownBoth.
class ByteStream {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~ByteStream() = default;

    // Reads at least one byte into `into`, waiting until the deadline at
    // most; `got` is the count. WSAEWOULDBLOCK when none came in time (past
    // the deadline only what has already come is taken), WSAECONNRESET when
    // the peer closed its side.
    virtual std::int32_t readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) = 0;
    // Writes every byte; WSAETIMEDOUT when the peer has not taken them all
    // by the deadline.
    virtual std::int32_t writeAll(std::string_view bytes, Clock::time_point deadline) = 0;
    // Ends both directions, so that a thread waiting on the stream wakes up;
    // the stream stays until close. Safe from another thread.
    virtual void shutdownBoth() noexcept = 0;
    // Releases the stream; 0, or the error number of releasing it.
    virtual std::int32_t close() noexcept = 0;
};

} // namespace vexa
