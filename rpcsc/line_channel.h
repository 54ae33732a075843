#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "rpcsc/byte_stream.h"
#include "rpcsc/line_framer.h"

namespace vexa {

// Text lines over one byte stream: the framer cuts what the stream brings,
// and each line has one deadline that starts with the call, so that however
// the peer paces its bytes a line takes at most timeoutMs. Results are 0 or
// Windows Sockets error numbers, as the remote PC/SC layers report them;
// WSAENOTSOCK without a stream. Used by one thread at a time, except
// shutdownBoth.
class LineChannel {
public:
    LineChannel() = default;
    explicit LineChannel(std::unique_ptr<ByteStream> stream) : stream_(std::move(stream)) {}
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;
    LineChannel(LineChannel&& other) noexcept;
    LineChannel& operator=(LineChannel&& other) noexcept;
    ~LineChannel() { close(); }

    // Sends text, CR when asked, and LF; all bytes or an error number.
    // WSAETIMEDOUT when the peer has not taken the whole line after
    // timeoutMs.
    std::int32_t sendLine(std::string_view text, bool cr, std::int32_t timeoutMs);
    // The next line without its LF and without any CR. WSAEWOULDBLOCK when
    // no whole line came within timeoutMs, WSAECONNRESET when the peer closed
    // (line holds what came), WSAEMSGSIZE for a line of more than maxLength
    // bytes before its LF, CRs included (everything buffered is dropped).
    std::int32_t receiveLine(SecureString& line, std::int32_t timeoutMs, std::size_t maxLength);
    // Waits until bytes of a next line are here, buffering what arrives, so
    // that a caller can give the wait for a line and the line itself
    // deadlines of their own. 0 when bytes are buffered, WSAEWOULDBLOCK after
    // timeoutMs without any, WSAECONNRESET when the peer closed.
    std::int32_t awaitBytes(std::int32_t timeoutMs);
    // Runs the stream's handshake (nothing for a plain stream) within
    // timeoutMs, as ByteStream::handshake does.
    std::int32_t handshake(std::int32_t timeoutMs, std::string& failure);
    // The peer's certificate from that handshake; null for a plain stream.
    const PeerCertificate* peerCertificate() const { return valid() ? stream_->peerCertificate() : nullptr; }
    // As ByteStream::peerSilent.
    bool peerSilent() const { return valid() && stream_->peerSilent(); }
    // Ends both directions so that a thread waiting on the stream wakes up;
    // the stream stays until close.
    void shutdownBoth() noexcept;
    // 0, or the error number of releasing the stream; 0 when there was none.
    std::int32_t close() noexcept;

    bool valid() const { return stream_ != nullptr; }

private:
    // Feeds the framer what the stream brings by the deadline.
    std::int32_t receiveMore(ByteStream::Clock::time_point deadline);

    std::unique_ptr<ByteStream> stream_;
    LineFramer framer_;
};

} // namespace vexa
