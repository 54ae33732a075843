#include "platform/block_cipher.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <memory>
#include <type_traits>

namespace vexa::platform {
namespace {

struct AlgorithmClose {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
};
struct KeyDestroy {
    void operator()(BCRYPT_KEY_HANDLE key) const { ::BCryptDestroyKey(key); }
};
using Algorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, AlgorithmClose>;
using Key = std::unique_ptr<std::remove_pointer_t<BCRYPT_KEY_HANDLE>, KeyDestroy>;

// CNG counts in ULONG: large inputs go through in slices of whole blocks,
// the IV buffer carrying the chain from one slice to the next.
constexpr std::size_t kSliceLength = std::size_t{1} << 30;

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

Algorithm openCbcAes() {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!succeeded(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_AES_ALGORITHM, nullptr, 0))) return {};
    Algorithm algorithm(handle);
    auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC));
    const auto modeSize = static_cast<ULONG>(sizeof(BCRYPT_CHAIN_MODE_CBC));
    if (!succeeded(::BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE, mode, modeSize, 0))) return {};
    return algorithm;
}

Key keyFor(BCRYPT_ALG_HANDLE algorithm, std::span<const std::uint8_t, kAesKeyLength> bytes) {
    BCRYPT_KEY_HANDLE handle = nullptr;
    auto* secret = const_cast<PUCHAR>(bytes.data());
    if (!succeeded(::BCryptGenerateSymmetricKey(algorithm, &handle, nullptr, 0, secret, kAesKeyLength, 0))) return {};
    return Key(handle);
}

} // namespace

bool aes128CbcZeroIv(std::span<const std::uint8_t, kAesKeyLength> key, std::span<std::uint8_t> blocks, bool encipher) {
    if (blocks.size() % kAesBlockLength != 0) return false;
    const Algorithm algorithm = openCbcAes();
    const Key handle = algorithm ? keyFor(algorithm.get(), key) : Key();
    if (!handle) return false;
    std::array<std::uint8_t, kAesBlockLength> iv{};
    for (std::size_t offset = 0; offset < blocks.size(); offset += kSliceLength) {
        const auto slice = blocks.subspan(offset, std::min(kSliceLength, blocks.size() - offset));
        const auto length = static_cast<ULONG>(slice.size());
        ULONG done = 0;
        const NTSTATUS status = encipher ? ::BCryptEncrypt(handle.get(), slice.data(), length, nullptr, iv.data(),
                                                           kAesBlockLength, slice.data(), length, &done, 0)
                                         : ::BCryptDecrypt(handle.get(), slice.data(), length, nullptr, iv.data(),
                                                           kAesBlockLength, slice.data(), length, &done, 0);
        if (!succeeded(status) || done != length) return false;
    }
    return true;
}

} // namespace vexa::platform
