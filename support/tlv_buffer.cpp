#include "support/tlv_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace vexa {

TlvBuffer::TlvBuffer(TlvBuffer&& other) noexcept
    : width_(other.width_),
      bytes_(std::move(other.bytes_)),
      cursor_(std::exchange(other.cursor_, 0)),
      writable_(std::exchange(other.writable_, true)) {}

TlvBuffer& TlvBuffer::operator=(TlvBuffer&& other) noexcept {
    if (this != &other) {
        width_ = other.width_;
        bytes_ = std::move(other.bytes_);
        cursor_ = std::exchange(other.cursor_, 0);
        writable_ = std::exchange(other.writable_, true);
    }
    return *this;
}

void TlvBuffer::allocate(std::uint32_t capacity) {
    bytes_.resize(capacity);
    cursor_ = 0;
    writable_ = true;
}

bool TlvBuffer::load(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        release();
        return false;
    }
    bytes_.assign(bytes);
    cursor_ = 0;
    writable_ = true;
    return true;
}

bool TlvBuffer::loadHex(std::string_view text, bool withBlanks) {
    ByteBuffer parsed;
    if (!parsed.assignStrictHex(text, withBlanks)) {
        release();
        return false;
    }
    return load(parsed);
}

void TlvBuffer::release() {
    bytes_.resize(0);
    cursor_ = 0;
    writable_ = true;
}

bool TlvBuffer::put(std::uint8_t tag, std::span<const std::uint8_t> value) {
    if (!fits(std::uint64_t{headerSize()} + value.size()) || value.size() > maxValueLength()) {
        writable_ = false;
        return false;
    }
    std::uint8_t* at = bytes_.data() + cursor_;
    *at++ = tag;
    const auto n = static_cast<std::uint32_t>(value.size());
    if (width_ == TlvWidth::wide) *at++ = static_cast<std::uint8_t>(n >> 8);
    *at++ = static_cast<std::uint8_t>(n);
    // memmove: a nested value may come from this very buffer.
    if (n != 0) std::memmove(at, value.data(), n);
    cursor_ += headerSize() + n;
    return true;
}

bool TlvBuffer::putUnsigned32(std::uint8_t tag, std::uint32_t value) {
    ByteBuffer bytes;
    bytes.storeUnsigned32(value, 4);
    return putByteBuffer(tag, bytes);
}

bool TlvBuffer::putUnsigned64(std::uint8_t tag, std::uint64_t value) {
    ByteBuffer bytes;
    bytes.storeUnsigned64(value, 8);
    return putByteBuffer(tag, bytes);
}

bool TlvBuffer::putText(std::uint8_t tag, std::string_view text) {
    return put(tag, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

bool TlvBuffer::appendRaw(const TlvBuffer& other) {
    const auto raw = other.usedBytes();
    if (!fits(raw.size())) {
        writable_ = false;
        return false;
    }
    if (!raw.empty()) std::memmove(bytes_.data() + cursor_, raw.data(), raw.size());
    cursor_ += static_cast<std::uint32_t>(raw.size());
    return true;
}

bool TlvBuffer::readLength(std::uint32_t offset, std::uint32_t& length) const {
    const std::uint32_t size = width_ == TlvWidth::narrow ? 1 : 2;
    if (std::uint64_t{offset} + size > capacity()) return false;
    length = bytes_[offset];
    if (size == 2) length = length << 8 | bytes_[offset + 1];
    return true;
}

bool TlvBuffer::get(std::uint8_t& tag, ByteBuffer& value) {
    value.resize(0);
    if (cursor_ >= capacity()) return false;
    tag = bytes_[cursor_++];
    if (cursor_ == capacity()) return false;
    std::uint32_t length = 0;
    if (!readLength(cursor_, length)) return false;
    cursor_ += headerSize() - 1;
    if (length > capacity() - cursor_) return false;
    value.assign(bytes_.data() + cursor_, length);
    cursor_ += length;
    return true;
}

void TlvBuffer::seekEnd() {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    while (offset < capacity() && bytes_[static_cast<std::uint32_t>(offset)] != 0) {
        if (!readLength(static_cast<std::uint32_t>(offset) + 1, length)) {
            offset = capacity();
            break;
        }
        offset += headerSize() + length;
    }
    cursor_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(offset, capacity()));
}

std::uint32_t TlvBuffer::copyOut(std::span<std::uint8_t> destination) const {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(destination.size(), capacity()));
    if (n != 0) std::memcpy(destination.data(), bytes_.data(), n);
    return n;
}

std::string TlvBuffer::toHex(bool withBlanks) const {
    return ByteBuffer(usedBytes()).toHex(withBlanks);
}

} // namespace vexa
