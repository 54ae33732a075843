#include "support/line_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "support/system_error_text.h"

namespace vexa {

LineSocket::LineSocket(LineSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

LineSocket& LineSocket::operator=(LineSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

std::int32_t LineSocket::waitFor(short events, std::int32_t timeoutMs) const {
    pollfd p{fd_, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, std::max(timeoutMs, 0));
        if (n > 0) return 0; // errors and hang-ups show in the next call
        if (n == 0) return WSAEWOULDBLOCK;
        if (errno != EINTR) return winsockErrorFromErrno(errno);
    }
}

std::int32_t LineSocket::sendLine(std::string_view text, bool cr, std::int32_t timeoutMs) {
    if (!valid()) return WSAENOTSOCK;
    std::string out(text);
    if (cr) out += '\r';
    out += '\n';
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return winsockErrorFromErrno(errno);
        if (waitFor(POLLOUT, timeoutMs) != 0) return WSAETIMEDOUT;
    }
    return 0;
}

bool LineSocket::takeLine(std::string& line) {
    const std::size_t lf = pending_.find('\n');
    if (lf == std::string::npos) return false;
    line.assign(pending_, 0, lf);
    pending_.erase(0, lf + 1);
    std::erase(line, '\r');
    return true;
}

std::int32_t LineSocket::receiveLine(std::string& line, std::int32_t timeoutMs, std::size_t maxLength) {
    line.clear();
    if (!valid()) return WSAENOTSOCK;
    char chunk[4096];
    for (;;) {
        if (takeLine(line)) return line.size() > maxLength ? WSAEMSGSIZE : 0;
        // CR does not count against the bound: it is dropped anyway.
        if (pending_.size() - static_cast<std::size_t>(std::count(pending_.begin(), pending_.end(), '\r')) >
            maxLength) {
            pending_.clear();
            return WSAEMSGSIZE;
        }
        // Each byte that arrives starts the time-out afresh.
        if (const std::int32_t waited = waitFor(POLLIN, timeoutMs); waited != 0) return waited;
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            // A peer that hangs up mid-line sent no complete answer.
            line = std::exchange(pending_, {});
            std::erase(line, '\r');
            return WSAECONNRESET;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return winsockErrorFromErrno(errno);
        }
    }
}

void LineSocket::shutdownBoth() noexcept {
    if (valid()) ::shutdown(fd_, SHUT_RDWR);
}

std::int32_t LineSocket::close() noexcept {
    pending_.clear();
    if (!valid()) return 0;
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0 ? 0 : winsockErrorFromErrno(errno);
}

} // namespace vexa
