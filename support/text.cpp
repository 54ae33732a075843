#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace vexa {

std::string bytesToHex(std::span<const std::uint8_t> bytes, bool withBlanks) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (withBlanks && i != 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string hexNumber(std::uint64_t value, int width) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    do {
        out += digits[value & 0x0F];
        value >>= 4;
    } while (value != 0);
    if (width > 0 && out.size() < static_cast<std::size_t>(width)) out.append(width - out.size(), '0');
    std::reverse(out.begin(), out.end());
    return out;
}

std::string signedDecimal(std::int64_t value) {
    return std::to_string(value);
}

std::string unsignedDecimal(std::uint64_t value) {
    return std::to_string(value);
}

std::string formatInteger(std::string_view format, std::int64_t value) {
    if (format.empty()) return {};
    // The formats in use are fixed ("%02i", "%04i"); anything but a single
    // integer conversion is refused rather than handed to printf.
    std::string fmt(format);
    auto percent = fmt.find('%');
    if (percent == std::string::npos || fmt.find('%', percent + 1) != std::string::npos) return fmt;
    auto conv = fmt.find_first_of("dixXuo", percent + 1);
    if (conv == std::string::npos || fmt.find_first_not_of("0123456789-+ #", percent + 1) != conv) return {};
    fmt.insert(conv, "ll");
    char out[31];
    int n = std::snprintf(out, sizeof out, fmt.c_str(), static_cast<long long>(value));
    if (n < 0) return {};
    return std::string(out, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof out - 1));
}

std::string replaceAll(std::string text, std::string_view search, std::string_view replacement) {
    if (search.empty()) return text;
    // Restarting at the beginning would loop forever when the replacement
    // holds the search text; continue behind each replacement instead, which
    // gives the same result for every other input.
    std::size_t pos = text.find(search);
    while (pos != std::string::npos) {
        text.replace(pos, search.size(), replacement);
        pos = replacement.find(search) == std::string_view::npos ? text.find(search)
                                                                 : text.find(search, pos + replacement.size());
    }
    return text;
}

std::string setLength(std::string text, std::size_t n, char fill) {
    text.resize(n, fill);
    return text;
}

namespace {

bool parseWhole(std::string_view text, long long& value) {
    if (text.empty()) {
        value = 0;
        return true;
    }
    std::string copy(text);
    const char* begin = copy.c_str();
    while (*begin == ' ' || *begin == '\t') ++begin;
    if (*begin == '\0') return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(begin, &end, 10);
    return errno == 0 && end != begin && *end == '\0' && std::isdigit(static_cast<unsigned char>(end[-1]));
}

} // namespace

bool parseDecimal(std::string_view text, std::int32_t& value) {
    long long v = 0;
    if (!parseWhole(text, v) || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
        return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

bool parseUnsignedDecimal(std::string_view text, std::uint32_t& value) {
    long long v = 0;
    if (!parseWhole(text, v) || v < 0 || v > std::numeric_limits<std::uint32_t>::max()) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

std::string convertGermanCharacters(std::string text, int mode) {
    static constexpr std::string_view latin1[] = {"\xE4", "\xF6", "\xFC", "\xC4", "\xD6", "\xDC", "\xDF"};
    static constexpr std::string_view percent[] = {"%E4", "%F6", "%FC", "%C4", "%D6", "%DC", "%DF"};
    static constexpr std::string_view entity[] = {"&auml;", "&ouml;", "&uuml;", "&Auml;",
                                                  "&Ouml;", "&Uuml;", "&szlig;"};
    const std::string_view* from = entity;
    const std::string_view* to = percent;
    switch (mode) {
        case 0:
            from = latin1, to = percent;
            break;
        case 1:
            from = latin1, to = entity;
            break;
        case 2:
            from = percent, to = entity;
            break;
        default:
            break;
    }
    for (int i = 0; i < 7 && !text.empty(); ++i) text = replaceAll(std::move(text), from[i], to[i]);
    return text;
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string escapeForLog(std::string_view text) {
    const auto needsEscape = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\'; };
    if (std::none_of(text.begin(), text.end(), needsEscape)) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    for (char c : text) {
        if (!needsEscape(c)) {
            out += c;
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += hexNumber(static_cast<unsigned char>(c), 2);
        }
    }
    return out;
}

bool textEquals(std::string_view a, std::string_view b) {
    return a == b;
}

bool textEqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::int32_t findText(std::string_view text, std::string_view search, std::int32_t start) {
    if (text.empty() || search.empty() || start < 0 || static_cast<std::size_t>(start) >= text.size()) return -1;
    auto pos = text.find(search, static_cast<std::size_t>(start));
    return pos == std::string_view::npos ? -1 : static_cast<std::int32_t>(pos);
}

std::int32_t findLastChar(std::string_view text, char c) {
    auto pos = text.rfind(c);
    return pos == std::string_view::npos ? -1 : static_cast<std::int32_t>(pos);
}

} // namespace vexa
