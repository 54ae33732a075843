#include "rpcsc/wire_message.h"

#include <algorithm>
#include <utility>

#include "support/hex_digit.h"

namespace vexa::wire {
namespace {

// A request's bytes may hold a PIN.
using WipedBytes = std::vector<std::uint8_t, platform::WipingAllocator<std::uint8_t>>;

// Pairs of hex digits in either case; a lone last digit is one byte (the
// line padded with a blank). Anything else is refused: a garbled answer must
// not pass for data.
bool readHex(std::string_view line, WipedBytes& bytes) {
    bytes.clear();
    bytes.reserve((line.size() + 1) / 2);
    for (std::size_t i = 0; i < line.size(); i += 2) {
        const int high = hexDigit(line[i]);
        const int low = i + 1 < line.size() ? hexDigit(line[i + 1]) : -2;
        if (high < 0 || low == -1) return false;
        bytes.push_back(static_cast<std::uint8_t>(low == -2 ? high : high << 4 | low));
    }
    return true;
}

} // namespace

Writer::Writer() {
    // Allocated, zeroed and wiped again for every message: a buffer of
    // kMaxMessage bytes cost more than the rest of a round trip.
    buffer_.allocate(kInitialSize);
}

TlvBuffer Writer::makeRoom(std::size_t n) {
    // A buffer that refused a put stays refusing: a new one would take
    // later elements after the lost one.
    const std::uint64_t needed = std::uint64_t{buffer_.usedSize()} + n;
    if (!buffer_.writable() || needed <= buffer_.capacity() || buffer_.capacity() >= kMaxMessage) return TlvBuffer();
    std::uint64_t size = std::max(buffer_.capacity(), kInitialSize);
    while (size < needed && size < kMaxMessage) size *= 2;
    TlvBuffer grown(TlvWidth::wide);
    grown.allocate(static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kMaxMessage)));
    grown.appendRaw(buffer_);
    std::swap(grown, buffer_);
    return grown;
}

SecureString Writer::line() const {
    return secretHex(buffer_.usedBytes(), false);
}

Writer::Writer(std::uint8_t op) : Writer() {
    Writer header;
    const std::uint8_t version = kVersion;
    header.putBytes(TAG_VERSION, {&version, 1});
    header.putBytes(TAG_OPERATION, {&op, 1});
    putNested(TAG_HEADER, header);
}

Writer& Writer::putInt(std::uint8_t tag, std::uint32_t value) {
    const TlvBuffer old = makeRoom(3 + 4);
    buffer_.putUnsigned32(tag, value);
    return *this;
}

Writer& Writer::putHandle(std::uint8_t tag, std::uint64_t value) {
    const TlvBuffer old = makeRoom(3 + 8);
    buffer_.putUnsigned64(tag, value);
    return *this;
}

Writer& Writer::putText(std::uint8_t tag, std::string_view text) {
    const TlvBuffer old = makeRoom(3 + text.size());
    buffer_.putText(tag, text);
    return *this;
}

Writer& Writer::putBytes(std::uint8_t tag, std::span<const std::uint8_t> bytes) {
    const TlvBuffer old = makeRoom(3 + bytes.size());
    buffer_.put(tag, bytes);
    return *this;
}

Writer& Writer::putNested(std::uint8_t tag, const Writer& nested) {
    // A nested value that lost an element spoils the whole message.
    if (!nested.ok()) spoiled_ = true;
    if (spoiled_) return *this;
    const TlvBuffer old = makeRoom(3 + nested.bytes().size());
    buffer_.putNested(tag, nested.buffer_);
    return *this;
}

ParseError Reader::parse(std::span<const std::uint8_t> bytes) {
    elements_.clear();
    TlvBuffer buffer(TlvWidth::wide);
    if (!buffer.load(bytes)) return ParseError::cutOff;
    while (buffer.usedSize() < buffer.capacity()) {
        Element e;
        if (!buffer.get(e.tag, e.value)) return ParseError::cutOff;
        elements_.push_back(std::move(e));
    }
    return ParseError::none;
}

ParseError Reader::parseLine(std::string_view line) {
    elements_.clear();
    if (line.size() > kMaxLine) return ParseError::notHex;
    WipedBytes bytes;
    if (!readHex(line, bytes)) return ParseError::notHex;
    return parse(bytes);
}

const Element* Reader::find(std::uint8_t tag) const {
    for (const Element& e : elements_)
        if (e.tag == tag) return &e;
    return nullptr;
}

std::uint32_t Reader::intOr(std::uint8_t tag, std::uint32_t fallback) const {
    const Element* e = find(tag);
    return e ? e->asInt() : fallback;
}

std::uint64_t Reader::handleOr(std::uint8_t tag, std::uint64_t fallback) const {
    const Element* e = find(tag);
    return e ? e->asHandle() : fallback;
}

std::string Reader::textOr(std::uint8_t tag, std::string fallback) const {
    const Element* e = find(tag);
    return e ? e->asText() : std::move(fallback);
}

std::optional<std::uint32_t> Reader::operation() const {
    const Element* header = find(TAG_HEADER);
    if (header == nullptr) return std::nullopt;
    Reader inner;
    if (inner.parse(header->value.bytes()) != ParseError::none) return std::nullopt;
    if (const Element* version = inner.find(TAG_VERSION); version && version->asInt() != kVersion) return std::nullopt;
    const Element* op = inner.find(TAG_OPERATION);
    if (op == nullptr) return std::nullopt;
    return op->asInt();
}

} // namespace vexa::wire
