#include "support/cipher.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <optional>

#include "platform/block_cipher.h"

namespace vexa {

namespace {

using Key = std::span<const std::uint8_t, kCipherKeyLength>;

constexpr std::uint32_t kLengthFieldSize = 4;
// The cipher buffer is always data length + 20 bytes long.
constexpr std::uint32_t kCipherOverhead = 20;
constexpr std::uint32_t kMaxDataLength = std::numeric_limits<std::uint32_t>::max() - kCipherOverhead;

std::optional<Key> keyFromText(std::string_view keyText) {
    if (keyText.size() != kCipherKeyLength) return std::nullopt;
    return Key(reinterpret_cast<const std::uint8_t*>(keyText.data()), kCipherKeyLength);
}

std::uint32_t frameLength(std::uint32_t dataLength) {
    const std::uint64_t unpadded = std::uint64_t{kLengthFieldSize} + dataLength;
    return static_cast<std::uint32_t>((unpadded + kCipherBlockLength - 1) / kCipherBlockLength * kCipherBlockLength);
}

} // namespace

bool transformBlocks(Key key, std::span<std::uint8_t> blocks, CipherDirection direction) {
    return platform::aes128CbcZeroIv(key, blocks, direction == CipherDirection::encipher);
}

bool encipherBytes(std::span<const std::uint8_t> data, std::string_view keyText, std::string& cipherText) {
    cipherText.clear();
    const auto key = keyFromText(keyText);
    if (!key || data.empty() || data.size() > kMaxDataLength) return false;
    const auto n = static_cast<std::uint32_t>(data.size());
    // Frame and trailing zeros in one buffer; enciphered in place, so the
    // plaintext never outlives this call (ByteBuffer wipes on release).
    ByteBuffer buffer;
    buffer.resize(n + kCipherOverhead);
    ByteBuffer lengthField;
    lengthField.storeUnsigned32(n, kLengthFieldSize);
    buffer.copyIn(lengthField.data(), 0, kLengthFieldSize);
    buffer.copyIn(data.data(), kLengthFieldSize, n);
    if (!transformBlocks(*key, {buffer.data(), frameLength(n)}, CipherDirection::encipher)) return false;
    cipherText = buffer.toHex(false);
    return true;
}

bool encipherText(std::string_view text, std::string_view keyText, std::string& cipherText) {
    cipherText.clear();
    if (text.size() >= kMaxDataLength) return false;
    ByteBuffer bytes;
    bytes.resize(static_cast<std::uint32_t>(text.size() + 1)); // the last byte stays 0
    bytes.copyTextIn(text, 0);
    return encipherBytes(bytes.bytes(), keyText, cipherText);
}

bool encipherTlv(const TlvBuffer& buffer, std::string_view keyText, std::string& cipherText) {
    return encipherBytes(buffer.usedBytes(), keyText, cipherText);
}

bool decipherBytes(std::string_view cipherText, std::string_view keyText, ByteBuffer& data, std::uint32_t capacity) {
    data.resize(0);
    const auto key = keyFromText(keyText);
    // Longer texts would not fit a ByteBuffer's 32-bit length.
    if (!key || cipherText.empty() || capacity == 0 || cipherText.size() / 2 >= kMaxDataLength) return false;
    ByteBuffer raw;
    if (!raw.assignHex(cipherText, false)) return false;
    // Trailing bytes that do not fill a block are the zero padding; without a
    // single whole block there is no length field to read.
    const std::uint32_t frame = raw.length() / kCipherBlockLength * kCipherBlockLength;
    if (frame == 0) return false;
    if (!transformBlocks(*key, {raw.data(), frame}, CipherDirection::decipher)) return false;
    const std::uint32_t declared = ByteBuffer(raw.data(), kLengthFieldSize).readUnsigned32();
    // A forged or garbled length must not reach beyond what was deciphered.
    const std::uint32_t n = std::min({declared, capacity, frame - kLengthFieldSize});
    data.assign(raw.data() + kLengthFieldSize, n);
    return true;
}

bool decipherBytes(std::string_view cipherText, std::string_view keyText, ByteBuffer& data) {
    const std::size_t half = std::min<std::size_t>(cipherText.size() / 2, std::numeric_limits<std::uint32_t>::max());
    return decipherBytes(cipherText, keyText, data, static_cast<std::uint32_t>(half));
}

bool decipherText(std::string_view cipherText, std::string_view keyText, std::string& text) {
    text.clear();
    ByteBuffer data;
    if (!decipherBytes(cipherText, keyText, data)) return false;
    text = data.toText();
    return true;
}

namespace {

bool allZero(const std::uint8_t* bytes, std::size_t n) {
    return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0; });
}

// Why the cipher text, deciphered into raw, is not what enciphering a text
// made; "" when it is. n: the data bytes taken.
std::string flawOf(std::string_view cipherText, const ByteBuffer& raw, std::uint32_t declared, std::uint32_t n,
                   std::size_t textLength) {
    const std::uint64_t whole = std::uint64_t{declared} + kCipherOverhead;
    if (raw.length() < whole)
        return "is cut short (" + std::to_string(raw.length()) + " of " + std::to_string(whole) + " bytes)";
    if (raw.length() > whole) return "is longer than its length field says";
    const std::uint32_t frame = frameLength(declared);
    // Deciphering took the fill after the frame for blocks: it is judged as
    // the text holds it.
    if (cipherText.find_first_not_of('0', std::size_t{2} * frame) != std::string_view::npos)
        return "ends in fill bytes that are not zero";
    // One text and its zero byte, then the frame's zero fill.
    const std::uint32_t dataEnd = kLengthFieldSize + n;
    if (n == 0 || textLength != n - 1 || !allZero(raw.data() + dataEnd, frame - dataEnd))
        return "does not decipher to text";
    return {};
}

} // namespace

std::string decipherWholeText(std::string_view cipherText, std::string_view keyText, std::string& text) {
    text.clear();
    const auto key = keyFromText(keyText);
    if (!key) return "cannot be deciphered with a key of " + std::to_string(keyText.size()) + " characters";
    if (cipherText.size() / 2 >= kMaxDataLength) return "is too long";
    const bool odd = cipherText.size() % 2 != 0;
    ByteBuffer raw;
    if (!raw.assignHex(cipherText.substr(0, cipherText.size() - (odd ? 1 : 0)), false)) return "is not hex text";
    const std::uint32_t frame = raw.length() / kCipherBlockLength * kCipherBlockLength;
    if (frame == 0) return "is cut short (" + std::to_string(raw.length()) + " bytes)";
    if (!transformBlocks(*key, {raw.data(), frame}, CipherDirection::decipher)) return "cannot be deciphered";
    const std::uint32_t declared = ByteBuffer(raw.data(), kLengthFieldSize).readUnsigned32();
    const std::uint32_t n = std::min(declared, frame - kLengthFieldSize);
    text = ByteBuffer(raw.data() + kLengthFieldSize, n).toText();
    // Half a byte of hex is a text cut short, however long it says it is.
    if (odd) return "is cut short (" + std::to_string(cipherText.size()) + " hex digits)";
    return flawOf(cipherText, raw, declared, n, text.size());
}

bool decipherTlv(std::string_view cipherText, std::string_view keyText, TlvBuffer& buffer) {
    ByteBuffer data;
    if (!decipherBytes(cipherText, keyText, data)) {
        buffer.release();
        return false;
    }
    return buffer.load(data);
}

} // namespace vexa
