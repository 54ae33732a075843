#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secure_string.h"
#include "support/byte_buffer.h"
#include "support/tlv_buffer.h"

// The remote PC/SC line protocol: each message is a run of wide TLV elements
// (tag, two-byte big-endian length, value), sent as one line of upper-case
// hex digits ended by LF. Client (cardaccess/) and server (server/) share
// this codec so both speak exactly the same bytes.
namespace vexa::wire {

inline constexpr std::uint8_t kVersion = 1;
// The TCP port a server listens on and a client names unless told otherwise.
inline constexpr std::uint16_t kDefaultPort = 35965;
// Requests and answers are written into a buffer of this size.
inline constexpr std::uint32_t kMaxMessage = 32768;
// Longest line either side reads: a full message in hex, with room to spare.
inline constexpr std::size_t kMaxLine = 2 * kMaxMessage + 64;
// ATR bytes an answer may carry per reader state.
inline constexpr std::uint32_t kMaxAtr = 36;
// A status answer's card state in pcsc-lite's form, one bit per state
// (SCARD_ABSENT 0x2, SCARD_PRESENT 0x4, ...), as servers on Linux always
// sent it; Windows numbers the same states 0 to 6 and converts.
inline constexpr std::uint32_t kCardStateAbsent = 0x0002;
constexpr std::uint32_t cardStateFromNumber(std::uint32_t windowsState) {
    return windowsState <= 6 ? 1u << windowsState : windowsState;
}

enum Op : std::uint8_t {
    OP_ESTABLISH_CONTEXT = 1,
    OP_RELEASE_CONTEXT = 2,
    OP_LIST_READERS = 3,
    OP_CONNECT = 4,
    OP_DISCONNECT = 5,
    OP_STATUS = 6,
    OP_CONTROL = 7,
    OP_TRANSMIT = 8,
    OP_BEGIN_TRANSACTION = 9,
    OP_END_TRANSACTION = 10,
    OP_GET_STATUS_CHANGE = 11,
};
inline constexpr std::uint8_t kLastOp = OP_GET_STATUS_CHANGE;

enum Tag : std::uint8_t {
    TAG_HEADER = 1,
    TAG_VERSION = 2,
    TAG_OPERATION = 3,
    TAG_RESULT = 4,
    TAG_CONTEXT = 5,
    TAG_CARD = 6,
    TAG_SCOPE = 16,
    TAG_GROUPS = 17,
    TAG_READER_LISTED = 18,
    TAG_READER = 19,
    TAG_SHARE_MODE = 20,
    TAG_PROTOCOLS = 21,
    TAG_PROTOCOL = 22,
    TAG_DISPOSITION = 23,
    TAG_STATE = 24,
    TAG_ATR = 25,
    TAG_CONTROL_CODE = 32,
    TAG_INPUT = 33,
    TAG_OUTPUT = 34,
    TAG_MAX_OUTPUT = 35,
    TAG_TIMEOUT = 36,
    TAG_STATE_COUNT = 37,
    TAG_READER_STATE = 38,
    TAG_STATE_READER = 39,
    TAG_CURRENT_STATE = 40,
    TAG_EVENT_STATE = 41,
    TAG_STATE_ATR = 48,
    TAG_RAW = 49,
};

// A message being written: elements are appended in call order. Once an
// element did not fit, every later one is refused and ok() is false, so a
// message that lost an element is never sent.
class Writer {
public:
    // An empty run of elements (for nested values).
    Writer();
    // A message that starts with the header for the operation.
    explicit Writer(std::uint8_t op);

    Writer& putInt(std::uint8_t tag, std::uint32_t value);
    Writer& putHandle(std::uint8_t tag, std::uint64_t value);
    Writer& putText(std::uint8_t tag, std::string_view text);
    Writer& putBytes(std::uint8_t tag, std::span<const std::uint8_t> bytes);
    Writer& putNested(std::uint8_t tag, const Writer& nested);

    bool ok() const { return buffer_.writable() && !spoiled_; }
    std::span<const std::uint8_t> bytes() const { return buffer_.usedBytes(); }
    // The message as one line of upper-case hex, without LF; wiped when it
    // goes, as the message may carry a PIN.
    SecureString line() const;

private:
    // Room for most requests and answers; the buffer doubles up to
    // kMaxMessage when an element needs more.
    static constexpr std::uint32_t kInitialSize = 256;

    // Grows the buffer so that n more bytes fit, if the limit allows. The
    // old buffer is handed back and must live until the put is done: its
    // bytes may be the value being put.
    TlvBuffer makeRoom(std::size_t n);

    TlvBuffer buffer_{TlvWidth::wide};
    bool spoiled_ = false;
};

struct Element {
    std::uint8_t tag = 0;
    ByteBuffer value;

    // Big-endian over the whole value; surplus leading bytes drop out.
    std::uint32_t asInt() const { return value.readUnsigned32(); }
    std::uint64_t asHandle() const { return value.readUnsigned64(); }
    std::string asText() const { return std::string(value.bytes().begin(), value.bytes().end()); }
};

// Why a line could not be read as a message.
enum class ParseError { none, notHex, cutOff };

// A message read from its bytes or line: all its elements in order.
class Reader {
public:
    // Reads every element; cutOff when the last one runs past the end.
    ParseError parse(std::span<const std::uint8_t> bytes);
    // A hex line, either case, odd length padded with one blank.
    ParseError parseLine(std::string_view line);

    // The first element with the tag, if any.
    const Element* find(std::uint8_t tag) const;
    std::uint32_t intOr(std::uint8_t tag, std::uint32_t fallback) const;
    std::uint64_t handleOr(std::uint8_t tag, std::uint64_t fallback) const;
    std::string textOr(std::uint8_t tag, std::string fallback = {}) const;
    const std::vector<Element>& elements() const { return elements_; }

    // The header's operation code; nullopt when the header is missing, cut
    // off, or names a version other than 1.
    std::optional<std::uint32_t> operation() const;

private:
    std::vector<Element> elements_;
};

} // namespace vexa::wire
