#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Small text functions shared by every layer. Texts are narrow byte strings
// (Windows-1252); an empty text stands for an absent one.
namespace vexa {

// Lower-case hex; with blanks one blank stands between two bytes.
std::string bytesToHex(std::span<const std::uint8_t> bytes, bool withBlanks);
// Lower-case hex digits, zero-padded on the left to at least width digits.
std::string hexNumber(std::uint64_t value, int width);
std::string signedDecimal(std::int64_t value);
std::string unsignedDecimal(std::uint64_t value);
// One integer through a printf-style format such as "%02i"; "" for an empty
// format.
std::string formatInteger(std::string_view format, std::int64_t value);

// Replaces every occurrence, restarting at the beginning after each one.
std::string replaceAll(std::string text, std::string_view search, std::string_view replacement);
// Pads on the right with fill, or cuts, to exactly n characters.
std::string setLength(std::string text, std::size_t n, char fill);
// Whole-text base-10 numbers within 32 bits; leading blanks and a sign are
// accepted, the empty text reads as 0.
bool parseDecimal(std::string_view text, std::int32_t& value);
bool parseUnsignedDecimal(std::string_view text, std::uint32_t& value);
// Mode 0: Latin-1 umlauts to %XX; 1: to HTML entities; 2: %XX to entities;
// any other mode: entities to %XX.
std::string convertGermanCharacters(std::string text, int mode);
// &, <, > and " as HTML entities, for text a page shows as HTML.
std::string escapeHtml(std::string_view text);
// A value for a log line: control characters (below 0x20, and 0x7F) as \n,
// \r, \t or \xNN, so a value never breaks a line, and the backslash doubled,
// so a typed "\n" never reads like an escaped line end; every other byte stays.
std::string escapeForLog(std::string_view text);

// Support-library comparisons: both empty, or both non-empty and identical.
bool textEquals(std::string_view a, std::string_view b);
bool textEqualsNoCase(std::string_view a, std::string_view b);
// Position of search at or after start; -1 when either text is empty, start
// is at or past the end, or nothing is found.
std::int32_t findText(std::string_view text, std::string_view search, std::int32_t start = 0);
std::int32_t findLastChar(std::string_view text, char c);

} // namespace vexa
