#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "support/byte_buffer.h"
#include "support/tlv_buffer.h"

// Enciphered server requests, their answers and the protected allowed-sites
// value all share one form, which servers and users' files depend on byte for
// byte: AES-128-CBC with a zero IV over a frame of a 4-byte big-endian length,
// the data and zero fill to a whole block; the cipher bytes padded with zeros
// to exactly data length + 20 bytes; upper-case hex without blanks outside.
//
// The key text's 16 characters are the AES key as they stand. There is no
// integrity check: a wrong key or altered text deciphers to arbitrary bytes,
// which the callers reject when they parse or compare them.
//
// Every function returns false with an empty output on failure and is safe
// from any thread.
namespace vexa {

inline constexpr std::size_t kCipherKeyLength = 16;
inline constexpr std::size_t kCipherBlockLength = 16;

enum class CipherDirection { encipher, decipher };

// The raw chain: AES-128-CBC, zero IV, no padding, in place over whole
// blocks. False when the length is not a multiple of the block length.
bool transformBlocks(std::span<const std::uint8_t, kCipherKeyLength> key, std::span<std::uint8_t> blocks,
                     CipherDirection direction);

// False for empty data and for keys that are not 16 characters long.
bool encipherBytes(std::span<const std::uint8_t> data, std::string_view keyText, std::string& cipherText);
// The characters followed by one zero byte; an empty text enciphers the zero
// byte alone.
bool encipherText(std::string_view text, std::string_view keyText, std::string& cipherText);
// The used part of the buffer.
bool encipherTlv(const TlvBuffer& buffer, std::string_view keyText, std::string& cipherText);

// At most capacity data bytes, and never more than the cipher text holds;
// without a capacity, half the cipher text length. False for an empty text,
// a capacity of 0, a text that is not hex, and one without a whole block.
bool decipherBytes(std::string_view cipherText, std::string_view keyText, ByteBuffer& data, std::uint32_t capacity);
bool decipherBytes(std::string_view cipherText, std::string_view keyText, ByteBuffer& data);
// The data up to its first zero byte.
bool decipherText(std::string_view cipherText, std::string_view keyText, std::string& text);
// Deciphers as decipherText does, and from a text cut short also what its
// whole blocks hold (an odd last hex digit is dropped), and tells whether the
// cipher text is whole, as enciphering a text made it: exactly as long as its
// length field says, zero after the cipher block, and deciphering to one text
// followed by its zero byte. "" when it is, else why it is not, to follow
// the text's name ("is cut short (40 of 52 bytes)"); text then holds what
// could be read. Without an integrity check, a text altered
// within a block may still pass.
std::string decipherWholeText(std::string_view cipherText, std::string_view keyText, std::string& text);
// Loads the data into the buffer (which keeps its width), cursor at the start.
bool decipherTlv(std::string_view cipherText, std::string_view keyText, TlvBuffer& buffer);

} // namespace vexa
