#include "support/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace vexa {
namespace {

TEST(Codepage, MapsLatinLettersAndWindowsSymbolsBothWays) {
    const struct {
        const char* utf8;
        const char* narrow;
    } pairs[] = {
        {"A", "A"},
        {"\xC3\xA4", "\xE4"},     // ä
        {"\xE2\x82\xAC", "\x80"}, // €
        {"\xE2\x80\xA6", "\x85"}, // …
        {"\xC5\xB8", "\x9F"},     // Ÿ
        {"\xC2\xA0", "\xA0"},     // no-break space
    };
    for (const auto& p : pairs) {
        EXPECT_EQ(utf8ToCp1252(p.utf8), p.narrow) << p.utf8;
        EXPECT_EQ(cp1252ToUtf8(p.narrow), p.utf8) << p.utf8;
    }
}

TEST(Codepage, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    EXPECT_EQ(utf8ToCp1252(cp1252ToUtf8(all)), all);
    EXPECT_EQ(cp1252ToUtf8(""), "");
}

TEST(Codepage, UndefinedBytesBecomeTheirC1Controls) {
    for (unsigned char b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) {
        const std::string narrow(1, static_cast<char>(b));
        const std::string utf8 = {'\xC2', static_cast<char>(b)};
        EXPECT_EQ(cp1252ToUtf8(narrow), utf8);
        EXPECT_EQ(utf8ToCp1252(utf8), narrow);
    }
}

TEST(Codepage, UnmappableCharactersBecomeQuestionMarks) {
    EXPECT_EQ(utf8ToCp1252("\xE6\x97\xA5"), "?");         // 日
    EXPECT_EQ(utf8ToCp1252("a\xF0\x9F\x98\x80z"), "a?z"); // emoji, four bytes
    EXPECT_EQ(utf8ToCp1252("\xC2\x80"), "?");             // C1 control with a Windows-1252 glyph at its byte
    EXPECT_EQ(utf8ToCp1252("\xC4\x80\xC3\xA4"), "?\xE4"); // Ā then ä
}

TEST(Codepage, InvalidSequencesBecomeOneQuestionMarkPerMaximalSubpart) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"\x80", "?"},       // lone continuation byte
        {"A\xE2\x82", "A?"}, // truncated at the end
        {"A\xE2\x82"
         "B",
         "A?B"},                      // truncated, next character kept
        {"\xC0\x80", "??"},           // overlong NUL
        {"\xE0\x80\x80", "???"},      // overlong three-byte form
        {"\xED\xA0\x80", "???"},      // UTF-16 surrogate
        {"\xF4\x90\x80\x80", "????"}, // above U+10FFFF
        {"\xFF\xFE", "??"},           // never valid
        {"\xC3", "?"},                // lead byte alone
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8ToCp1252(c.in), c.out) << testing::PrintToString(c.in);
    }
}

} // namespace
} // namespace vexa
