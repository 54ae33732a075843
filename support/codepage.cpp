#include "support/codepage.h"

#include <array>
#include <cstdint>
#include <optional>

namespace vexa {
namespace {

// Code points of the bytes 0x80..0x9F; the undefined bytes keep their value.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, //
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char kUnmappable = '?';

char32_t toCodePoint(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F) {
        return kHighControls[byte - 0x80];
    }
    return byte;
}

std::optional<char> toNarrow(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
        return static_cast<char>(cp);
    }
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == cp) {
            return static_cast<char>(0x80 + i);
        }
    }
    return std::nullopt;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        // Nothing in Windows-1252 lies beyond the Basic Multilingual Plane.
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// What a lead byte promises: the number of continuation bytes and the range
// allowed for the first of them, which rules out overlong forms, surrogates
// and code points above U+10FFFF.
struct LeadByte {
    int continuations;
    unsigned char low;
    unsigned char high;
    char32_t bits;
};

std::optional<LeadByte> classify(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return LeadByte{1, 0x80, 0xBF, b & 0x1Fu};
    if (b == 0xE0) return LeadByte{2, 0xA0, 0xBF, b & 0x0Fu};
    if (b == 0xED) return LeadByte{2, 0x80, 0x9F, b & 0x0Fu};
    if (b >= 0xE1 && b <= 0xEF) return LeadByte{2, 0x80, 0xBF, b & 0x0Fu};
    if (b == 0xF0) return LeadByte{3, 0x90, 0xBF, b & 0x07u};
    if (b >= 0xF1 && b <= 0xF3) return LeadByte{3, 0x80, 0xBF, b & 0x07u};
    if (b == 0xF4) return LeadByte{3, 0x80, 0x8F, b & 0x07u};
    return std::nullopt;
}

// Decodes the character at pos and advances past it; on an invalid sequence
// advances past its maximal invalid subpart and answers nothing.
std::optional<char32_t> decodeOne(std::string_view in, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(in[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    const auto shape = classify(lead);
    if (!shape) {
        return std::nullopt;
    }
    char32_t cp = shape->bits;
    unsigned char low = shape->low;
    unsigned char high = shape->high;
    for (int i = 0; i < shape->continuations; ++i) {
        if (pos >= in.size()) {
            return std::nullopt;
        }
        const auto next = static_cast<unsigned char>(in[pos]);
        if (next < low || next > high) {
            return std::nullopt;
        }
        cp = (cp << 6) | (next & 0x3Fu);
        ++pos;
        low = 0x80;
        high = 0xBF;
    }
    return cp;
}

} // namespace

std::string utf8ToCp1252(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto cp = decodeOne(utf8, pos);
        const auto narrow = cp ? toNarrow(*cp) : std::nullopt;
        out += narrow.value_or(kUnmappable);
    }
    return out;
}

std::string cp1252ToUtf8(std::string_view narrow) {
    std::string out;
    out.reserve(narrow.size() * 2);
    for (char c : narrow) {
        appendUtf8(out, toCodePoint(static_cast<unsigned char>(c)));
    }
    return out;
}

} // namespace vexa
