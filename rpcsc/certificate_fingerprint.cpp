#include "rpcsc/certificate_fingerprint.h"

#include <algorithm>

namespace vexa::rpcsc {
namespace {

constexpr std::size_t kDigits = 64; // a SHA-256 digest in hex
constexpr std::string_view kHex = "0123456789abcdef";

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool startsWithFingerprintLabel(std::string_view text) {
    return text.size() >= kFingerprintLabel.size() &&
           std::equal(kFingerprintLabel.begin(), kFingerprintLabel.end(), text.begin(),
                      [](char l, char c) { return lower(l) == lower(c); });
}

std::optional<std::string> canonicalFingerprint(std::string_view text) {
    // Either 64 digits, or 32 pairs with one colon between each.
    const bool colons = text.size() == kDigits + kDigits / 2 - 1;
    if (!colons && text.size() != kDigits) return std::nullopt;
    std::string digits;
    digits.reserve(kDigits);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (colons && i % 3 == 2) {
            if (text[i] != ':') return std::nullopt;
            continue;
        }
        const char c = lower(text[i]);
        if (kHex.find(c) == std::string_view::npos) return std::nullopt;
        digits += c;
    }
    return digits;
}

std::string fingerprintLine(std::string_view canonical) {
    std::string line(kFingerprintLabel);
    for (std::size_t i = 0; i < canonical.size(); ++i) {
        if (i > 0 && i % 2 == 0) line += ':';
        const char c = canonical[i];
        line += c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return line;
}

} // namespace vexa::rpcsc
