#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <mstcpip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/socket_api.h"
#include "platform/windows/winsock.h"

namespace vexa::platform {
namespace {

using Clock = Socket::Clock;

SOCKET socketOf(WaitHandle handle) {
    return static_cast<SOCKET>(handle);
}

WSAEVENT eventOf(WaitHandle handle) {
    return reinterpret_cast<WSAEVENT>(handle);
}

int lastError() {
    return errnoFromWinsock(::WSAGetLastError());
}

// A new socket of its own: a program this one starts must not hold it open.
WaitHandle newSocket(int family) {
    startSockets();
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoWaitHandle;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<WaitHandle>(s);
}

// Option numbers of the Windows SDK's <ws2ipdef.h> that MinGW's headers lack.
#ifndef TCP_MAXRT
constexpr int TCP_MAXRT = 5; // seconds; Windows Vista and later
#endif
#ifndef TCP_KEEPCNT
constexpr int TCP_KEEPCNT = 16; // Windows 10 1703 and later
#endif

void setTcpOption(SOCKET s, int level, int name, DWORD value) {
    ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// One request line and one answer line in turn: never wait for Nagle. And a
// peer that vanishes is found dead within seconds, whether the link is idle
// (keepalive) or data waits for its acknowledgement (TCP_MAXRT), not after
// the system's two hours. SIO_KEEPALIVE_VALS works on every Windows; the
// probe count (else 10) only where the system knows the option.
void tuneConnection(SOCKET s) {
    setTcpOption(s, IPPROTO_TCP, TCP_NODELAY, TRUE);
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(std::chrono::milliseconds(kKeepAliveIdle).count());
    values.keepaliveinterval = static_cast<ULONG>(std::chrono::milliseconds(kKeepAliveInterval).count());
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    setTcpOption(s, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    setTcpOption(s, IPPROTO_TCP, TCP_MAXRT, static_cast<DWORD>(kUnacknowledgedLimit.count()));
}

bool setNonBlocking(SOCKET s, bool on) {
    u_long value = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &value) == 0;
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits for a non-blocking connect to finish within timeoutMs. select, not
// WSAPoll: older WSAPoll never reports a refused connect.
int finishConnect(SOCKET s, std::int32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        const int left = millisecondsLeft(deadline);
        timeval wait{left / 1000, left % 1000 * 1000};
        const int n = ::select(0, nullptr, &writable, &failed, &wait);
        if (n == 0) return ETIMEDOUT;
        if (n < 0 && ::WSAGetLastError() == WSAEINTR) continue;
        if (n < 0) return lastError();
        int err = 0;
        int size = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &size) != 0) return lastError();
        return err == 0 ? 0 : errnoFromWinsock(err);
    }
}

} // namespace

Socket::Socket(WaitHandle handle) noexcept : handle_(handle) {
    if (!valid()) return;
    const WSAEVENT event = ::WSACreateEvent();
    if (event != WSA_INVALID_EVENT) wake_ = reinterpret_cast<WaitHandle>(event);
}

Socket::Socket(Socket&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoWaitHandle)),
      mode_(std::exchange(other.mode_, Mode::unknown)),
      receiveTimeoutMs_(std::exchange(other.receiveTimeoutMs_, -1)),
      wake_(std::exchange(other.wake_, kNoWaitHandle)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kNoWaitHandle);
        mode_ = std::exchange(other.mode_, Mode::unknown);
        receiveTimeoutMs_ = std::exchange(other.receiveTimeoutMs_, -1);
        wake_ = std::exchange(other.wake_, kNoWaitHandle);
    }
    return *this;
}

int Socket::connect(const IpEndpoint& to, std::int32_t timeoutMs, Socket& connected) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    std::memcpy(&address.sin_addr, to.address.data() + 12, 4);

    Socket s(newSocket(AF_INET));
    if (!s.valid()) return lastError();
    const SOCKET socket = socketOf(s.handle_);
    tuneConnection(socket);
    if (!setNonBlocking(socket, true)) return lastError();
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return lastError();
        if (const int finished = finishConnect(socket, timeoutMs); finished != 0) return finished;
    }
    connected = std::move(s);
    return 0;
}

// Transfers here are non-blocking and wait on the socket's event: a receive
// that timed out by SO_RCVTIMEO leaves a Windows connection in an undefined
// state (and the server reads on after a quiet spell), and a local shutdown
// does not end a wait in WSAPoll. Ties the event to the socket once; true
// when it could not be.
bool Socket::blocking() {
    if (mode_ == Mode::unknown && wake_ != kNoWaitHandle &&
        ::WSAEventSelect(socketOf(handle_), eventOf(wake_), FD_READ | FD_WRITE | FD_CLOSE) == 0)
        mode_ = Mode::nonBlocking;
    return mode_ != Mode::nonBlocking;
}

// Called after a transfer found nothing to do since the event was last
// reset: whatever changes after that sets the event.
int Socket::waitUntil(short, Clock::time_point deadline) const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return EWOULDBLOCK;
    const DWORD waited =
        ::WaitForSingleObject(eventOf(wake_), static_cast<DWORD>(std::min<long long>(left, INFINITE - 1)));
    if (waited == WAIT_OBJECT_0) return 0;
    return waited == WAIT_TIMEOUT ? EWOULDBLOCK : EBADF;
}

int Socket::writeAll(std::string_view bytes, Clock::time_point deadline) {
    if (blocking()) return ENOBUFS;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ::WSAResetEvent(eventOf(wake_));
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, INT_MAX));
        const int n = ::send(socketOf(handle_), bytes.data() + sent, size, 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int err = n < 0 ? ::WSAGetLastError() : WSAEWOULDBLOCK;
        if (err == WSAEINTR) continue;
        if (err != WSAEWOULDBLOCK) return errnoFromWinsock(err);
        if (waitUntil(POLLWRNORM, deadline) != 0) return ETIMEDOUT;
    }
    return 0;
}

int Socket::readSome(std::span<char> into, std::size_t& got, Clock::time_point deadline) {
    got = 0;
    if (blocking()) return ENOBUFS;
    for (;;) {
        ::WSAResetEvent(eventOf(wake_));
        const int size = static_cast<int>(std::min<std::size_t>(into.size(), INT_MAX));
        const int n = ::recv(socketOf(handle_), into.data(), size, 0);
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return 0;
        }
        const int err = ::WSAGetLastError();
        // Our own shutdown ends the stream as the peer's would.
        if (err == WSAESHUTDOWN) return 0;
        if (err == WSAEINTR) continue;
        if (err != WSAEWOULDBLOCK) return errnoFromWinsock(err);
        // Past the deadline only what has already come is taken.
        if (const int waited = waitUntil(POLLRDNORM, deadline); waited != 0) return waited;
    }
}

void Socket::shutdownBoth() noexcept {
    if (!valid()) return;
    // First the shutdown, then the event: a transfer that resets the event
    // after it is set still finds the socket shut.
    ::shutdown(socketOf(handle_), SD_BOTH);
    if (wake_ != kNoWaitHandle) ::WSASetEvent(eventOf(wake_));
}

int Socket::close() noexcept {
    mode_ = Mode::unknown;
    receiveTimeoutMs_ = -1;
    if (wake_ != kNoWaitHandle) ::WSACloseEvent(eventOf(std::exchange(wake_, kNoWaitHandle)));
    if (!valid()) return 0;
    return ::closesocket(socketOf(std::exchange(handle_, kNoWaitHandle))) == 0 ? 0 : lastError();
}

ListeningSocket::~ListeningSocket() = default;

bool ListeningSocket::listen(const std::string& address, std::uint16_t port, std::string& failure) {
    startSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int r = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); r != 0) {
        failure = winsockFailureText(r);
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, ::freeaddrinfo);
    // The first address of the name that can be bound.
    for (const addrinfo* a = found; a != nullptr && !handle_.valid(); a = a->ai_next) {
        Socket socket(newSocket(a->ai_family));
        const SOCKET s = socketOf(socket.handle());
        const BOOL on = TRUE;
        const BOOL off = FALSE;
        // Nobody else may bind the port while the server has it.
        if (socket.valid())
            ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
        // "::" takes IPv4 peers too, as on Linux.
        if (socket.valid() && a->ai_family == AF_INET6)
            ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
        if (socket.valid() && ::bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
            ::listen(s, SOMAXCONN) == 0)
            handle_ = std::move(socket);
        else
            failure = winsockFailureText(::WSAGetLastError());
    }
    return handle_.valid();
}

std::optional<IpEndpoint> ListeningSocket::localEndpoint() const {
    sockaddr_storage address{};
    int size = sizeof address;
    if (::getsockname(socketOf(handle_.handle()), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return std::nullopt;
    return endpointOf(address, size);
}

Socket ListeningSocket::accept(std::optional<IpEndpoint>& peer) {
    sockaddr_storage address{};
    int size = sizeof address;
    const SOCKET s = ::accept(socketOf(handle_.handle()), reinterpret_cast<sockaddr*>(&address), &size);
    Socket socket(s == INVALID_SOCKET ? kNoWaitHandle : static_cast<WaitHandle>(s));
    if (!socket.valid()) return socket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    tuneConnection(s);
    peer = endpointOf(address, size);
    return socket;
}

} // namespace vexa::platform
