#include "platform/windows/pem_block.h"

#include <windows.h>

#include <wincrypt.h>

#include <string>

namespace vexa::platform {

std::optional<std::vector<std::uint8_t>> pemBlock(std::string_view pem, std::string_view label) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----";
    const std::string end = "-----END " + std::string(label) + "-----";
    const std::size_t from = pem.find(begin);
    if (from == std::string_view::npos) return std::nullopt;
    const std::size_t to = pem.find(end, from + begin.size());
    if (to == std::string_view::npos) return std::nullopt;
    // Only the Base64 between the lines, so that a block of another label
    // before this one is never what gets decoded.
    const std::string_view body = pem.substr(from + begin.size(), to - from - begin.size());
    DWORD size = 0;
    const auto length = static_cast<DWORD>(body.size());
    if (!::CryptStringToBinaryA(body.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr) ||
        size == 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    if (!::CryptStringToBinaryA(body.data(), length, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr))
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

} // namespace vexa::platform
