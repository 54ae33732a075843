#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/secure_string.h"

namespace vexa {

// Owned byte array with an exact length: no spare capacity, no terminator.
// Card data (APDUs, ATRs, keys, cipher text) travels through the system in it.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const std::uint8_t* bytes, std::uint32_t n);
    explicit ByteBuffer(std::span<const std::uint8_t> bytes);
    ByteBuffer(const ByteBuffer& other);
    ByteBuffer& operator=(const ByteBuffer& other);
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    // n = 0 releases the storage; any other n leaves n zero bytes, also when
    // the length does not change.
    void resize(std::uint32_t n);
    void assign(const std::uint8_t* bytes, std::uint32_t n);
    void assign(std::span<const std::uint8_t> bytes);
    // Overwrites bytes offset .. offset + n - 1; false when bytes is null or the
    // range leaves the buffer.
    bool copyIn(const std::uint8_t* bytes, std::uint32_t offset, std::uint32_t n);
    void assignText(std::string_view text);
    bool copyTextIn(std::string_view text, std::uint32_t offset);
    // Lenient reading, kept for Hex2Str and cipher text: each unit (three
    // characters with blanks, two without; a short last unit is padded with
    // blanks) is read like strtol with base 16, so "4G" is 04 and "-1" is FF.
    // False when a unit cannot be read; the buffer then holds the bytes read
    // so far and zeros behind them.
    bool assignHex(std::string_view text, bool withBlanks);
    // Strict reading for card input and server requests: every byte exactly
    // two hex digits of either case; with blanks one blank follows each byte,
    // the last one's may be left out. Nothing else passes, so a typo can never
    // turn into another command. False leaves the buffer empty.
    bool assignStrictHex(std::string_view text, bool withBlanks);
    // Upper-case hex; with blanks each byte is followed by one blank.
    std::string toHex(bool withBlanks) const;
    // The bytes as text, ending at the first zero byte.
    std::string toText() const;
    bool setByte(std::uint32_t position, std::uint8_t value);
    // Shortens the length without reallocating; false when n exceeds it.
    bool truncate(std::uint32_t n);
    // Zero-fills n bytes of destination, then copies min(n, length) bytes.
    void copyOut(std::uint8_t* destination, std::uint32_t n) const;

    std::uint32_t length() const { return length_; }
    bool isNonEmpty() const { return length_ != 0; }
    const std::uint8_t* data() const { return data_.get(); }
    std::uint8_t* data() { return data_.get(); }
    std::span<const std::uint8_t> bytes() const { return {data_.get(), length_}; }
    std::uint8_t operator[](std::uint32_t i) const { return data_[i]; }

    // Big-endian stores: resize to n, then fill from the last byte backwards.
    void storeSigned32(std::int32_t value, std::uint32_t n);
    void storeUnsigned32(std::uint32_t value, std::uint32_t n);
    void storeUnsigned64(std::uint64_t value, std::uint32_t n);
    // Big-endian reads over all bytes; surplus leading bytes drop out.
    std::int32_t readSigned32() const;
    std::uint32_t readUnsigned32() const;
    std::uint64_t readUnsigned64() const;

    friend bool operator==(const ByteBuffer& a, const ByteBuffer& b);

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::uint32_t length_ = 0;
    std::uint32_t allocated_ = 0; // differs from length_ only after truncate
};

// ByteBuffer::toHex for bytes that may hold a secret (an APDU with a PIN):
// the text is wiped when it goes.
SecureString secretHex(std::span<const std::uint8_t> bytes, bool withBlanks);

} // namespace vexa
