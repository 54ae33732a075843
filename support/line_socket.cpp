#include "support/line_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "support/system_error_text.h"

namespace vexa {

LineSocket::LineSocket(LineSocket&& other) noexcept
    : fd_(std::move(other.fd_)),
      pending_(std::move(other.pending_)),
      scanned_(std::exchange(other.scanned_, 0)),
      mode_(std::exchange(other.mode_, Mode::unknown)),
      receiveTimeoutMs_(std::exchange(other.receiveTimeoutMs_, -1)) {}

LineSocket& LineSocket::operator=(LineSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::move(other.fd_);
        pending_ = std::move(other.pending_);
        scanned_ = std::exchange(other.scanned_, 0);
        mode_ = std::exchange(other.mode_, Mode::unknown);
        receiveTimeoutMs_ = std::exchange(other.receiveTimeoutMs_, -1);
    }
    return *this;
}

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(std::int32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

} // namespace

std::int32_t LineSocket::waitUntil(short events, Clock::time_point deadline) const {
    pollfd p{fd_.get(), events, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int n = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (n > 0) return 0; // errors and hang-ups show in the next call
        if (n == 0 && left <= 0) return WSAEWOULDBLOCK;
        if (n < 0 && errno != EINTR) return winsockErrorFromErrno(errno);
    }
}

std::int32_t LineSocket::sendLine(std::string_view text, bool cr, std::int32_t timeoutMs) {
    if (!valid()) return WSAENOTSOCK;
    std::string out(text);
    if (cr) out += '\r';
    out += '\n';
    // One deadline for the whole line: a peer that takes a byte now and then
    // must not hold the caller for longer.
    const auto deadline = deadlineAfter(timeoutMs);
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(fd_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return winsockErrorFromErrno(errno);
        if (waitUntil(POLLOUT, deadline) != 0) return WSAETIMEDOUT;
    }
    return 0;
}

std::int32_t LineSocket::receiveLine(std::string& line, std::int32_t timeoutMs, std::size_t maxLength) {
    line.clear();
    if (!valid()) return WSAENOTSOCK;
    // One deadline for the whole line, so a peer trickling bytes cannot hold
    // the caller for longer than a silent one.
    const auto deadline = deadlineAfter(timeoutMs);
    for (;;) {
        // Bytes before scanned_ are known to hold no LF.
        const std::size_t lf = pending_.find('\n', scanned_);
        if (lf != std::string::npos) {
            line.assign(pending_, 0, lf);
            pending_.erase(0, lf + 1);
            scanned_ = 0;
            // Every byte counts against the bound, CR included.
            if (line.size() > maxLength) {
                line.clear();
                pending_.clear();
                return WSAEMSGSIZE;
            }
            std::erase(line, '\r');
            return 0;
        }
        scanned_ = pending_.size();
        if (pending_.size() > maxLength) {
            pending_.clear();
            scanned_ = 0;
            return WSAEMSGSIZE;
        }
        const std::int32_t received = receiveMore(deadline);
        if (received == WSAECONNRESET) {
            // A peer that hangs up mid-line sent no complete answer.
            line = std::exchange(pending_, {});
            scanned_ = 0;
            std::erase(line, '\r');
        }
        if (received != 0) return received;
    }
}

std::int32_t LineSocket::receiveMore(Clock::time_point deadline) {
    char chunk[4096];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        // Past the deadline only what has already come is taken.
        const bool wait = left > 0 && blocking() && setReceiveTimeout(left);
        if (!wait && left > 0) {
            if (const std::int32_t waited = waitUntil(POLLIN, deadline); waited != 0) return waited;
        }
        const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, wait ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
            return 0;
        }
        if (n == 0) return WSAECONNRESET;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return winsockErrorFromErrno(errno);
        if (errno != EINTR && left <= 0) return WSAEWOULDBLOCK;
    }
}

bool LineSocket::blocking() {
    if (mode_ == Mode::unknown) {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        mode_ = flags >= 0 && (flags & O_NONBLOCK) == 0 ? Mode::blocking : Mode::nonBlocking;
    }
    return mode_ == Mode::blocking;
}

bool LineSocket::setReceiveTimeout(long long ms) {
    // Each line starts with the same time-out, so this is set once per
    // socket, and again only after a line that came in pieces.
    if (ms == receiveTimeoutMs_) return true;
    const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        receiveTimeoutMs_ = -1;
        return false;
    }
    receiveTimeoutMs_ = ms;
    return true;
}

std::int32_t LineSocket::awaitBytes(std::int32_t timeoutMs) {
    if (!valid()) return WSAENOTSOCK;
    const auto deadline = deadlineAfter(timeoutMs);
    while (pending_.empty())
        if (const std::int32_t received = receiveMore(deadline); received != 0) return received;
    return 0;
}

void LineSocket::shutdownBoth() noexcept {
    if (valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}

std::int32_t LineSocket::close() noexcept {
    pending_.clear();
    scanned_ = 0;
    mode_ = Mode::unknown;
    receiveTimeoutMs_ = -1;
    if (!valid()) return 0;
    return fd_.close() == 0 ? 0 : winsockErrorFromErrno(errno);
}

} // namespace vexa
