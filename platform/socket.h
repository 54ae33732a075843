#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/ip_address.h"
#include "platform/wait_handle.h"

namespace vexa::platform {

// How soon a connection whose peer vanished without a word (power lost, cable
// pulled, a NAT that forgot it) is found dead, so that what the peer held is
// freed: after kKeepAliveIdle without traffic the system probes every
// kKeepAliveInterval and kKeepAliveProbes unanswered probes end the
// connection; data the peer has not acknowledged for kUnacknowledgedLimit
// ends it as well, since probes go out only on an idle link. Either way about
// 11 s. A live peer's system answers the probes itself, so a quiet but live
// peer keeps its connection for as long as it likes.
inline constexpr std::chrono::seconds kKeepAliveIdle{5};
inline constexpr std::chrono::seconds kKeepAliveInterval{2};
inline constexpr int kKeepAliveProbes = 3;
inline constexpr std::chrono::seconds kUnacknowledgedLimit{10};

// A connected TCP socket; owns the system's handle. Failures are errno
// values (the <cerrno> names, on every system), 0 is success.
class Socket {
public:
    using Clock = std::chrono::steady_clock;

    Socket() = default;
    // Takes over a socket made elsewhere.
    explicit Socket(WaitHandle handle) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    ~Socket() { close(); }

    // Connects to an IPv4 endpoint within timeoutMs, with TCP_NODELAY and
    // the dead-peer times above; ETIMEDOUT when no answer comes in time.
    static int connect(const IpEndpoint& to, std::int32_t timeoutMs, Socket& connected);

    // Reads at least one byte, waiting until the deadline at most (past it
    // only what has already come is taken); got 0 with 0 when the peer has
    // closed its side, EWOULDBLOCK when nothing came in time, ETIMEDOUT (on
    // Windows also ENETRESET) once the peer has been found dead.
    int readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline);
    // Writes every byte; ETIMEDOUT when the peer has not taken them all by
    // the deadline. Never raises SIGPIPE.
    int writeAll(std::string_view bytes, Clock::time_point deadline);
    // Ends both directions, waking a thread that waits on the socket; safe
    // from another thread.
    void shutdownBoth() noexcept;
    // 0, or the error of releasing the handle; 0 when none is held.
    int close() noexcept;

    bool valid() const { return handle_ != kNoWaitHandle; }
    // Readable when data or a hang-up has come.
    WaitHandle handle() const { return handle_; }

private:
    // 0 when the events came, EWOULDBLOCK once the deadline has passed.
    int waitUntil(short events, Clock::time_point deadline) const;
    // On a blocking socket a receive waits in the receive itself, bounded by
    // the receive time-out: one system call per answer instead of two.
    bool blocking();
    bool setReceiveTimeout(long long ms);

    enum class Mode { unknown, blocking, nonBlocking };

    WaitHandle handle_ = kNoWaitHandle;
    Mode mode_ = Mode::unknown;
    long long receiveTimeoutMs_ = -1; // as last set; -1: unknown
    // Where a local shutdown does not wake a waiting thread by itself
    // (Windows), the event the waits watch and shutdownBoth() sets.
    [[maybe_unused]] WaitHandle wake_ = kNoWaitHandle;
};

// A listening TCP socket; owns the system's handle.
class ListeningSocket {
public:
    ListeningSocket() = default;
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;
    ~ListeningSocket();

    // Binds the first address of the name (IPv4 or IPv6 literal or a host
    // name) that can be bound, and listens; false with the system's reason
    // when none can.
    bool listen(const std::string& address, std::uint16_t port, std::string& failure);
    // The address actually bound; nullopt when there is none or it is no IP
    // address.
    std::optional<IpEndpoint> localEndpoint() const;
    // The next waiting connection, set up as connect() sets up its own, and
    // its peer's address (nullopt for a peer of another family); not valid()
    // when none could be taken.
    Socket accept(std::optional<IpEndpoint>& peer);
    // Readable when a connection waits.
    WaitHandle handle() const { return handle_.handle(); }

private:
    Socket handle_;
};

} // namespace vexa::platform
