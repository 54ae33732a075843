#include "support/text.h"

#include <gtest/gtest.h>

using namespace vexa;

TEST(TextTest, HexNumbersAndBytes) {
    const std::uint8_t bytes[] = {0x00, 0xFF};
    EXPECT_EQ(bytesToHex(bytes, true), "00 ff");
    EXPECT_EQ(bytesToHex(bytes, false), "00ff");
    EXPECT_EQ(bytesToHex({}, true), "");
    EXPECT_EQ(hexNumber(0x6A82, 4), "6a82");
    EXPECT_EQ(hexNumber(0x1F, 8), "0000001f");
    EXPECT_EQ(hexNumber(0x8010000Bu, 4), "8010000b");
    EXPECT_EQ(hexNumber(0, 0), "0");
}

TEST(TextTest, FormatInteger) {
    EXPECT_EQ(formatInteger("%02i", 3), "03");
    EXPECT_EQ(formatInteger("%04i", 2024), "2024");
    EXPECT_EQ(formatInteger("", 5), "");
    // Anything that is not one integer conversion never reaches printf.
    EXPECT_EQ(formatInteger("%s", 1), "");
    EXPECT_EQ(formatInteger("%i%i", 1), "%i%i");
}

TEST(TextTest, ReplaceAllAndSetLength) {
    EXPECT_EQ(replaceAll("41 42 43", " ", ""), "414243");
    EXPECT_EQ(replaceAll("aab", "ab", "b"), "b"); // searching restarts at the beginning
    EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
    // A replacement holding the search text must terminate.
    EXPECT_EQ(replaceAll("a-a", "a", "aa"), "aa-aa");
    EXPECT_EQ(setLength("WARNING", 7, ' '), "WARNING");
    EXPECT_EQ(setLength("UNDEFINED", 7, ' '), "UNDEFIN");
    EXPECT_EQ(setLength("INFO", 7, ' '), "INFO   ");
}

TEST(TextTest, ParseDecimalTakesWholeTextWithin32Bits) {
    std::int32_t v = 7;
    EXPECT_TRUE(parseDecimal("", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(parseDecimal("  -12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(parseDecimal("+2147483647", v));
    EXPECT_TRUE(parseDecimal("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    for (const char* bad : {"12x", "2147483648", "-2147483649", "-", " ", "1 ", "0x10", "99999999999999999999"})
        EXPECT_FALSE(parseDecimal(bad, v)) << bad;
    std::uint32_t u = 0;
    EXPECT_TRUE(parseUnsignedDecimal("4294967295", u));
    EXPECT_FALSE(parseUnsignedDecimal("-1", u));
    EXPECT_FALSE(parseUnsignedDecimal("4294967296", u));
}

TEST(TextTest, GermanCharacterModes) {
    EXPECT_EQ(convertGermanCharacters("Gr\xFC\xDF"
                                      "e",
                                      1),
              "Gr&uuml;&szlig;e");
    EXPECT_EQ(convertGermanCharacters("Gr\xFC\xDF"
                                      "e",
                                      0),
              "Gr%FC%DFe");
    EXPECT_EQ(convertGermanCharacters("%FC %fc", 2), "&uuml; %fc");
    EXPECT_EQ(convertGermanCharacters("&Uuml;ber", 7), "%DCber");
    EXPECT_EQ(convertGermanCharacters("", 1), "");
}

TEST(TextTest, Comparisons) {
    EXPECT_TRUE(textEquals("", ""));
    EXPECT_FALSE(textEquals("a", "A"));
    EXPECT_TRUE(textEqualsNoCase("loglevel", "LOGLEVEL"));
    EXPECT_EQ(findText("abcabc", "c", 3), 5);
    EXPECT_EQ(findText("abc", "", 0), -1);
    EXPECT_EQ(findText("abc", "a", 3), -1);
    EXPECT_EQ(findLastChar("a/b/c", '/'), 3);
    EXPECT_EQ(findLastChar("abc", '/'), -1);
}
