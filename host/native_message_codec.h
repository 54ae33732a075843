#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Browser native messaging: every message is a 4-byte length in the
// machine's byte order followed by that many bytes of UTF-8 JSON. These
// functions only turn bytes into messages and back; reading and writing the
// pipes is the host's business.
namespace vexa {

inline constexpr std::size_t kFrameHeaderBytes = 4;
// Longest message taken from the browser. Browsers may send up to 4 GiB, but
// no call comes near this; a larger length is refused before anything is
// allocated for it.
inline constexpr std::size_t kMaxIncomingMessageBytes = 64 * 1024 * 1024;
// Longest message a browser takes from its host.
inline constexpr std::size_t kMaxOutgoingMessageBytes = 1024 * 1024;

// The header and the body. Throws std::length_error for a body that a
// 32-bit length cannot describe.
std::string buildFrame(std::string_view body);

// One message from the stream, or the refusal of one that was too long
// (its body was skipped, error says why).
struct IncomingFrame {
    std::string body;
    std::string error;
};

// Cuts a byte stream into messages, whatever pieces the bytes arrive in.
// Memory grows only with the bytes actually received, never with a length
// a header merely declares.
class FrameDecoder {
public:
    explicit FrameDecoder(std::size_t maxBody = kMaxIncomingMessageBytes) : maxBody_(maxBody) {}

    // Takes the next bytes of the stream; appends every message they
    // complete, and the refusal of an over-long one as soon as its header
    // is read.
    void feed(std::span<const char> bytes, std::vector<IncomingFrame>& out);
    // For the end of the stream: "" when it ended between two messages,
    // else what was cut off.
    std::string endOfInput() const;

private:
    enum class State { Header, Body, Skip };

    std::size_t takeHeader(std::span<const char> bytes, std::vector<IncomingFrame>& out);
    std::size_t takeBody(std::span<const char> bytes, std::vector<IncomingFrame>& out);

    std::size_t maxBody_;
    State state_ = State::Header;
    std::array<char, kFrameHeaderBytes> header_{};
    std::size_t headerFill_ = 0;
    std::uint32_t declared_ = 0; // body length of the current message
    std::uint32_t received_ = 0; // body bytes of it seen so far
    std::string body_;
};

// The messages that carry one answer (JSON text from the script dispatcher):
// the answer itself when it fits in limit bytes; otherwise, for a string
// result, {"id": ..., "chunk": <index>, "of": <count>, "part": "..."}
// messages whose parts, joined in order, give the result. Each message then
// stays near half the limit, and parts are cut only between characters.
// An answer that cannot be cut becomes an error answer.
std::vector<std::string> splitAnswer(std::string_view answer, std::size_t limit = kMaxOutgoingMessageBytes);

} // namespace vexa
