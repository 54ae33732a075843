#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/byte_buffer.h"

namespace vexa {

// Length field of a TLV element: one byte for card and request data, two
// bytes (high byte first) for the remote PC/SC messages.
enum class TlvWidth { narrow, wide };

// Flat tag-length-value elements in a fixed-size byte array with one cursor.
// Writing appends at the cursor, reading takes elements from the cursor. The
// cursor never leaves the array, whatever the content or the calls.
class TlvBuffer {
public:
    explicit TlvBuffer(TlvWidth width = TlvWidth::narrow) : width_(width) {}
    TlvBuffer(const TlvBuffer&) = default;
    TlvBuffer& operator=(const TlvBuffer&) = default;
    // The source is left without array, so its cursor has to go back to 0.
    TlvBuffer(TlvBuffer&& other) noexcept;
    TlvBuffer& operator=(TlvBuffer&& other) noexcept;

    // A zero-filled array of that size, cursor at 0; 0 leaves no array.
    void allocate(std::uint32_t capacity);
    // A copy of exactly these bytes, cursor at 0, ready for reading. False
    // (and no array) when there are more bytes than a 32-bit capacity holds.
    bool load(std::span<const std::uint8_t> bytes);
    bool load(const ByteBuffer& bytes) { return load(bytes.bytes()); }
    // False (and no array) when the text is not strict hex (two digits per
    // byte; see ByteBuffer::assignStrictHex).
    bool loadHex(std::string_view text, bool withBlanks);
    void rewind() { cursor_ = 0; }
    void release();

    // Each put appends tag, length and value at the cursor. A put that does
    // not fit, or whose value is too long for the width, changes nothing and
    // refuses every later put until the buffer is allocated or loaded again:
    // a message that lost an element must not be sent.
    bool put(std::uint8_t tag, std::span<const std::uint8_t> value);
    bool putUnsigned32(std::uint8_t tag, std::uint32_t value);
    bool putUnsigned64(std::uint8_t tag, std::uint64_t value);
    bool putByteBuffer(std::uint8_t tag, const ByteBuffer& value) { return put(tag, value.bytes()); }
    bool putText(std::uint8_t tag, std::string_view text);
    // The used part of other as one element's value.
    bool putNested(std::uint8_t tag, const TlvBuffer& other) { return put(tag, other.usedBytes()); }
    // The used part of other at the cursor, without tag or length.
    bool appendRaw(const TlvBuffer& other);

    // Reads the element at the cursor; tags are not checked. False when the
    // element is cut off by the end of the array; value is then empty.
    bool get(std::uint8_t& tag, ByteBuffer& value);
    // Cursor after the last element: walks from the start until a zero tag or
    // the end of the array.
    void seekEnd();

    TlvWidth width() const { return width_; }
    std::uint32_t capacity() const { return bytes_.length(); }
    std::uint32_t usedSize() const { return cursor_; }
    bool writable() const { return writable_; }
    std::span<const std::uint8_t> usedBytes() const { return bytes_.bytes().first(cursor_); }
    // Copies min(destination size, capacity) bytes from the start of the
    // array; returns how many.
    std::uint32_t copyOut(std::span<std::uint8_t> destination) const;
    // The used part in upper-case hex.
    std::string toHex(bool withBlanks) const;

private:
    std::uint32_t headerSize() const { return width_ == TlvWidth::narrow ? 2 : 3; }
    std::uint32_t maxValueLength() const { return width_ == TlvWidth::narrow ? 0xFF : 0xFFFF; }
    bool fits(std::uint64_t n) const { return writable_ && cursor_ + n <= bytes_.length(); }
    // Reads the length field at offset; false when it is cut off.
    bool readLength(std::uint32_t offset, std::uint32_t& length) const;

    TlvWidth width_;
    ByteBuffer bytes_; // wipes itself: requests may carry PINs and keys
    std::uint32_t cursor_ = 0;
    bool writable_ = true;
};

} // namespace vexa
