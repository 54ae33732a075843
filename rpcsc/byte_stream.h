#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "rpcsc/peer_certificate.h"

namespace vexa {

// A connected, ordered stream of bytes under the remote PC/SC lines: TCP,
// or a TLS session over TCP. Every wait is bounded by a deadline the caller
// fixes, so that a line keeps one deadline however many reads it takes.
// Results are 0 or Windows Sockets error numbers. Used by one thread at a
// time, except shutdownBoth.
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

    // Completes the opening exchange of a secured stream (a TLS handshake)
    // by the deadline: 0, or an error number with `failure` saying why in
    // words for the log. Reads and writes would run it themselves; calling
    // it first gives it a deadline and a reason of its own. Plain streams
    // have nothing to do.
    virtual std::int32_t handshake(Clock::time_point /*deadline*/, std::string& /*failure*/) { return 0; }
    // The certificate the peer proved to hold in the handshake; null for a
    // plain stream or before the handshake.
    virtual const PeerCertificate* peerCertificate() const { return nullptr; }
    // Whether the peer has sent no byte at all so far, as a port probe does;
    // false where the stream does not tell.
    virtual bool peerSilent() const { return false; }
};

} // namespace vexa
