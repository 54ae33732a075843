#include "support/byte_buffer.h"

#include "platform/memory_wipe.h"
#include "support/hex_digit.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vexa {

ByteBuffer::ByteBuffer(const std::uint8_t* bytes, std::uint32_t n) {
    assign(bytes, n);
}

ByteBuffer::ByteBuffer(std::span<const std::uint8_t> bytes) {
    assign(bytes);
}

ByteBuffer::ByteBuffer(const ByteBuffer& other) {
    assign(other.data(), other.length());
}

ByteBuffer& ByteBuffer::operator=(const ByteBuffer& other) {
    if (this != &other) assign(other.data(), other.length());
    return *this;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::move(other.data_)),
      length_(std::exchange(other.length_, 0)),
      allocated_(std::exchange(other.allocated_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        resize(0);
        data_ = std::move(other.data_);
        length_ = std::exchange(other.length_, 0);
        allocated_ = std::exchange(other.allocated_, 0);
    }
    return *this;
}

// Card data may hold keys and PINs: wipe before the storage goes back.
ByteBuffer::~ByteBuffer() {
    resize(0);
}

void ByteBuffer::resize(std::uint32_t n) {
    // The wipe is not optimised away, and unlike a volatile byte loop it
    // runs at memset speed: every message buffer passes through here.
    if (data_) platform::wipeMemory(data_.get(), allocated_);
    if (n == 0) {
        data_.reset();
        allocated_ = 0;
    } else if (n != length_) {
        data_ = std::make_unique<std::uint8_t[]>(n);
        allocated_ = n;
    }
    length_ = n;
}

void ByteBuffer::assign(const std::uint8_t* bytes, std::uint32_t n) {
    // The source may live inside this buffer; copy it out first.
    if (bytes && bytes >= data_.get() && bytes < data_.get() + length_) {
        ByteBuffer copy(bytes, n);
        *this = std::move(copy);
        return;
    }
    resize(n);
    if (n != 0 && bytes) std::memcpy(data_.get(), bytes, n);
}

void ByteBuffer::assign(std::span<const std::uint8_t> bytes) {
    assign(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool ByteBuffer::copyIn(const std::uint8_t* bytes, std::uint32_t offset, std::uint32_t n) {
    if (!bytes || std::uint64_t{offset} + n > length_) return false;
    if (n != 0) std::memmove(data_.get() + offset, bytes, n);
    return true;
}

void ByteBuffer::assignText(std::string_view text) {
    assign(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()));
}

bool ByteBuffer::copyTextIn(std::string_view text, std::uint32_t offset) {
    return copyIn(reinterpret_cast<const std::uint8_t*>(text.data()), offset, static_cast<std::uint32_t>(text.size()));
}

namespace {

// Reads one unit as a hexadecimal number the way strtol does: leading blanks,
// an optional sign, then digits up to the first non-digit. False when no digit
// follows.
bool readUnit(std::string_view unit, std::uint8_t& byte) {
    std::size_t i = 0;
    while (i < unit.size() && (unit[i] == ' ' || (unit[i] >= '\t' && unit[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < unit.size() && (unit[i] == '+' || unit[i] == '-')) negative = unit[i++] == '-';
    unsigned value = 0;
    std::size_t digits = 0;
    for (; i < unit.size() && hexDigit(unit[i]) >= 0; ++i, ++digits) value = value * 16 + hexDigit(unit[i]);
    if (digits == 0) return false;
    byte = static_cast<std::uint8_t>(negative ? 0u - value : value);
    return true;
}

} // namespace

bool ByteBuffer::assignHex(std::string_view text, bool withBlanks) {
    const std::size_t unit = withBlanks ? 3 : 2;
    std::string padded(text);
    padded.append((unit - padded.size() % unit) % unit, ' ');
    resize(static_cast<std::uint32_t>(padded.size() / unit));
    for (std::uint32_t i = 0; i < length_; ++i) {
        std::string_view u(padded.data() + i * unit, unit);
        if (withBlanks && u[2] != ' ') return false;
        if (!readUnit(u, data_[i])) return false;
    }
    return true;
}

bool ByteBuffer::assignStrictHex(std::string_view text, bool withBlanks) {
    const std::size_t unit = withBlanks ? 3 : 2;
    // With blanks the final one may be missing: round the length up.
    const std::size_t count = (text.size() + unit - 1) / unit;
    const bool lengthFits = withBlanks ? text.size() % unit != 1 : text.size() % unit == 0;
    bool valid = lengthFits;
    for (std::size_t i = 0; valid && i < count; ++i) {
        const std::size_t at = i * unit;
        valid = hexDigit(text[at]) >= 0 && hexDigit(text[at + 1]) >= 0 &&
                (!withBlanks || at + 2 == text.size() || text[at + 2] == ' ');
    }
    if (!valid) {
        resize(0);
        return false;
    }
    resize(static_cast<std::uint32_t>(count));
    for (std::uint32_t i = 0; i < length_; ++i)
        data_[i] = static_cast<std::uint8_t>(hexDigit(text[i * unit]) << 4 | hexDigit(text[i * unit + 1]));
    return true;
}

namespace {

template <class Text>
Text upperHex(std::span<const std::uint8_t> bytes, bool withBlanks) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::size_t unit = withBlanks ? 3 : 2;
    Text out(bytes.size() * unit, ' ');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[i * unit] = digits[bytes[i] >> 4];
        out[i * unit + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

} // namespace

std::string ByteBuffer::toHex(bool withBlanks) const {
    return upperHex<std::string>(bytes(), withBlanks);
}

SecureString secretHex(std::span<const std::uint8_t> bytes, bool withBlanks) {
    return upperHex<SecureString>(bytes, withBlanks);
}

std::string ByteBuffer::toText() const {
    const auto* begin = reinterpret_cast<const char*>(data_.get());
    if (!begin) return {};
    return std::string(begin, std::find(begin, begin + length_, '\0'));
}

bool ByteBuffer::setByte(std::uint32_t position, std::uint8_t value) {
    if (position >= length_) return false;
    data_[position] = value;
    return true;
}

bool ByteBuffer::truncate(std::uint32_t n) {
    if (n > length_) return false;
    length_ = n; // the allocation stays whole so the wipe still reaches the tail
    return true;
}

void ByteBuffer::copyOut(std::uint8_t* destination, std::uint32_t n) const {
    if (!destination) return;
    std::memset(destination, 0, n);
    if (length_ != 0) std::memcpy(destination, data_.get(), std::min(n, length_));
}

void ByteBuffer::storeSigned32(std::int32_t value, std::uint32_t n) {
    // Two's complement, sign-extended: dividing with truncation toward zero
    // would store -2 as 00 00 00 FE, which reads back as 254.
    storeUnsigned64(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)), n);
    if (value < 0)
        for (std::uint32_t i = 0; i + 8 < n; ++i) data_[i] = 0xFF;
}

void ByteBuffer::storeUnsigned32(std::uint32_t value, std::uint32_t n) {
    storeUnsigned64(value, n);
}

void ByteBuffer::storeUnsigned64(std::uint64_t value, std::uint32_t n) {
    resize(n);
    for (std::uint32_t i = n; i-- > 0;) {
        data_[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

std::int32_t ByteBuffer::readSigned32() const {
    return static_cast<std::int32_t>(readUnsigned32());
}

std::uint32_t ByteBuffer::readUnsigned32() const {
    return static_cast<std::uint32_t>(readUnsigned64());
}

std::uint64_t ByteBuffer::readUnsigned64() const {
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < length_; ++i) value = (value << 8) | data_[i];
    return value;
}

bool operator==(const ByteBuffer& a, const ByteBuffer& b) {
    return a.length_ == b.length_ && std::equal(a.data_.get(), a.data_.get() + a.length_, b.data_.get());
}

} // namespace vexa
