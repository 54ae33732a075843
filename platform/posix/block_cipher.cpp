#include "platform/block_cipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

namespace vexa::platform {
namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// libcrypto counts in int: large inputs go through in slices of whole blocks.
constexpr std::size_t kSliceLength = std::size_t{1} << 30;

bool transformSlices(EVP_CIPHER_CTX* context, std::span<std::uint8_t> blocks) {
    for (std::size_t offset = 0; offset < blocks.size(); offset += kSliceLength) {
        const auto slice = blocks.subspan(offset, std::min(kSliceLength, blocks.size() - offset));
        const auto length = static_cast<int>(slice.size());
        int written = 0;
        if (EVP_CipherUpdate(context, slice.data(), &written, slice.data(), length) != 1 || written != length)
            return false;
    }
    std::array<std::uint8_t, kAesBlockLength> rest{};
    int restLength = 0;
    return EVP_CipherFinal_ex(context, rest.data(), &restLength) == 1 && restLength == 0;
}

} // namespace

bool aes128CbcZeroIv(std::span<const std::uint8_t, kAesKeyLength> key, std::span<std::uint8_t> blocks, bool encipher) {
    if (blocks.size() % kAesBlockLength != 0) return false;
    CipherContext context(EVP_CIPHER_CTX_new());
    const std::array<std::uint8_t, kAesBlockLength> zeroIv{};
    if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key.data(), zeroIv.data(),
                                      encipher ? 1 : 0) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    return transformSlices(context.get(), blocks);
}

} // namespace vexa::platform
