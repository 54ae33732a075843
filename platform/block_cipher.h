#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vexa::platform {

inline constexpr std::size_t kAesKeyLength = 16;
inline constexpr std::size_t kAesBlockLength = 16;

// AES-128-CBC with a zero IV and no padding, in place over whole blocks, with
// the system's own cipher library (libcrypto, or CNG on Windows). False when
// the length is not a multiple of the block length or the library fails.
bool aes128CbcZeroIv(std::span<const std::uint8_t, kAesKeyLength> key, std::span<std::uint8_t> blocks, bool encipher);

} // namespace vexa::platform
