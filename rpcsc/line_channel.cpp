#include "rpcsc/line_channel.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/memory_wipe.h"
#include "rpcsc/winsock_error.h"

namespace vexa {
namespace {

using Clock = ByteStream::Clock;

Clock::time_point deadlineAfter(std::int32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

} // namespace

LineChannel::LineChannel(LineChannel&& other) noexcept
    : stream_(std::move(other.stream_)), framer_(std::exchange(other.framer_, {})) {}

LineChannel& LineChannel::operator=(LineChannel&& other) noexcept {
    if (this != &other) {
        close();
        stream_ = std::move(other.stream_);
        framer_ = std::exchange(other.framer_, {});
    }
    return *this;
}

std::int32_t LineChannel::sendLine(std::string_view text, bool cr, std::int32_t timeoutMs) {
    if (!valid()) return WSAENOTSOCK;
    // One deadline for the whole line: a peer that takes a byte now and then
    // must not hold the caller for longer.
    return stream_->writeAll(LineFramer::frame(text, cr), deadlineAfter(timeoutMs));
}

std::int32_t LineChannel::receiveLine(SecureString& line, std::int32_t timeoutMs, std::size_t maxLength) {
    line.clear();
    if (!valid()) return WSAENOTSOCK;
    // One deadline for the whole line, so a peer trickling bytes cannot hold
    // the caller for longer than a silent one.
    const auto deadline = deadlineAfter(timeoutMs);
    for (;;) {
        switch (framer_.next(line, maxLength)) {
            case LineFramer::Next::line:
                return 0;
            case LineFramer::Next::tooLong:
                return WSAEMSGSIZE;
            case LineFramer::Next::needMore:
                break;
        }
        const std::int32_t received = receiveMore(deadline);
        // A peer that hangs up mid-line sent no complete answer.
        if (received == WSAECONNRESET) line = framer_.takeRest();
        if (received != 0) return received;
    }
}

std::int32_t LineChannel::awaitBytes(std::int32_t timeoutMs) {
    if (!valid()) return WSAENOTSOCK;
    const auto deadline = deadlineAfter(timeoutMs);
    while (framer_.empty())
        if (const std::int32_t received = receiveMore(deadline); received != 0) return received;
    return 0;
}

std::int32_t LineChannel::handshake(std::int32_t timeoutMs, std::string& failure) {
    if (!valid()) return WSAENOTSOCK;
    return stream_->handshake(deadlineAfter(timeoutMs), failure);
}

std::int32_t LineChannel::receiveMore(Clock::time_point deadline) {
    std::array<char, 4096> chunk;
    std::size_t got = 0;
    const std::int32_t received = stream_->readSome(chunk, got, deadline);
    if (received == 0) framer_.feed({chunk.data(), got});
    platform::wipeMemory(chunk.data(), got); // the bytes live on in the framer only
    return received;
}

void LineChannel::shutdownBoth() noexcept {
    if (valid()) stream_->shutdownBoth();
}

std::int32_t LineChannel::close() noexcept {
    framer_.clear();
    if (!valid()) return 0;
    const std::int32_t closed = stream_->close();
    stream_.reset();
    return closed;
}

} // namespace vexa
