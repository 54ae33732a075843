#include "support/cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

using vexa::ByteBuffer;

namespace {

constexpr std::string_view kKey = "p3w7m2qxtr516vb4";
constexpr std::string_view kOtherKey = "0123456789abcdef";

std::string encipheredText(std::string_view text) {
    std::string cipherText;
    EXPECT_TRUE(vexa::encipherText(text, kKey, cipherText));
    return cipherText;
}

} // namespace

// FIPS-197 appendix C.1; one block in CBC with a zero IV is the bare block.
TEST(CipherTest, MatchesFips197Block) {
    const std::array<std::uint8_t, 16> key{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ByteBuffer block;
    block.assignHex("00112233445566778899aabbccddeeff", false);
    ASSERT_TRUE(vexa::transformBlocks(key, {block.data(), 16}, vexa::CipherDirection::encipher));
    EXPECT_EQ(block.toHex(false), "69C4E0D86A7B0430D8CDB78070B4C55A");

    // Read as cipher text, the block declares 0x00112233 data bytes; only the
    // 12 it holds may come back.
    const std::string keyText(reinterpret_cast<const char*>(key.data()), key.size());
    ByteBuffer data;
    ASSERT_TRUE(vexa::decipherBytes(block.toHex(false), keyText, data, 0xFFFFFFFF));
    EXPECT_EQ(data.toHex(false), "445566778899AABBCCDDEEFF");
}

// Made outside this code base with the openssl command line, from frames
// written by hand (length, data, zero fill):
//   printf '<frame hex>' | xxd -r -p |
//     openssl enc -aes-128-cbc -K $(printf '<key text>' | xxd -p) -iv 00000000000000000000000000000000 -nopad |
//     xxd -p -u -c 256
// followed by the zeros that make up data length + 20 bytes.
TEST(CipherTest, MatchesOpensslCommandLineVectors) {
    // Frame 00000004 61626300 + 8 zero bytes.
    const std::string abc = "3BA7F54CC9FA34F9C5727385634E717B" + std::string(16, '0');
    EXPECT_EQ(encipheredText("abc"), abc);
    std::string text;
    ASSERT_TRUE(vexa::decipherText(abc, kKey, text));
    EXPECT_EQ(text, "abc");

    // Frame 0000002C + the 43 characters + 00: three blocks, no fill.
    EXPECT_EQ(encipheredText("The quick brown fox jumps over the lazy dog"),
              "1D0D2F2294056C1C8EBBC08BD7BC9FB30AF5B155FC703F7505A1BA378CF4CF8DED1589945CB81936B8A1B4D4F68EDBE4" +
                  std::string(32, '0'));

    // Key text 0123456789abcdef, frame 0000000C 0102030405060708090A0B0C.
    ByteBuffer twelve;
    twelve.assignHex("0102030405060708090A0B0C", false);
    std::string cipherText;
    ASSERT_TRUE(vexa::encipherBytes(twelve.bytes(), kOtherKey, cipherText));
    EXPECT_EQ(cipherText, "4B4AC03405EF93172B61F2D17A3A33F3" + std::string(32, '0'));
}

TEST(CipherTest, RoundTripsEveryFrameLength) {
    std::string cipherText;
    for (std::uint32_t n = 1; n <= 40; ++n) {
        const std::vector<std::uint8_t> bytes(n, static_cast<std::uint8_t>(n));
        ASSERT_TRUE(vexa::encipherBytes(bytes, kKey, cipherText));
        ASSERT_EQ(cipherText.size(), 2 * (n + 20u)) << n;
        std::transform(cipherText.begin(), cipherText.end(), cipherText.begin(), ::tolower);
        ByteBuffer back;
        ASSERT_TRUE(vexa::decipherBytes(cipherText, kKey, back));
        EXPECT_TRUE(std::ranges::equal(bytes, back.bytes())) << n;
    }
    EXPECT_EQ(encipheredText("").size(), 42u); // the zero byte alone

    vexa::TlvBuffer request;
    request.allocate(16);
    request.putText(0x01, "card");
    ASSERT_TRUE(vexa::encipherTlv(request, kKey, cipherText));
    vexa::TlvBuffer answer;
    ASSERT_TRUE(vexa::decipherTlv(cipherText, kKey, answer));
    EXPECT_EQ(answer.toHex(false), ""); // ready for reading
    answer.seekEnd();
    EXPECT_EQ(answer.toHex(false), "010463617264");
}

TEST(CipherTest, BadInputFailsWithEmptyOutput) {
    std::string cipherText = "stale";
    EXPECT_FALSE(vexa::encipherBytes({}, kKey, cipherText));
    EXPECT_EQ(cipherText, "");
    EXPECT_FALSE(vexa::encipherText("abc", "short key", cipherText));

    const std::string good = encipheredText("abc");
    for (const std::string& damaged :
         {std::string(), "ZZ" + good.substr(2), std::string("0011AA"), std::string("00112"), good.substr(0, 30)}) {
        ByteBuffer data;
        data.assignHex("FF", false);
        EXPECT_FALSE(vexa::decipherBytes(damaged, kKey, data)) << damaged;
        EXPECT_EQ(data.length(), 0u);
    }
    ByteBuffer data;
    EXPECT_FALSE(vexa::decipherBytes(good, kKey, data, 0));
}

TEST(CipherTest, CapacityAndWrongKeyBoundTheData) {
    const std::string cipherText = encipheredText("attack at dawn");
    ByteBuffer data;
    ASSERT_TRUE(vexa::decipherBytes(cipherText, kKey, data, 4));
    EXPECT_EQ(data.toText(), "atta");
    // The zero tail behind the last whole block may be cut, even to odd length.
    std::string text;
    ASSERT_TRUE(vexa::decipherText(cipherText.substr(0, 65), kKey, text));
    EXPECT_EQ(text, "attack at dawn");

    ASSERT_TRUE(vexa::decipherText(cipherText, kOtherKey, text));
    EXPECT_NE(text, "attack at dawn");
    ASSERT_TRUE(vexa::decipherBytes(cipherText, kOtherKey, data, 0xFFFFFFFF));
    EXPECT_LE(data.length(), 32u - 4u);
}

// Whole texts pass; one cut anywhere, another key or altered fill is named,
// and a cut text still gives the part its whole blocks hold.
TEST(CipherTest, WholeTextIsToldFromADamagedOne) {
    const std::string plain = "https://a.example|https://b.example|";
    const std::string cipherText = encipheredText(plain);
    std::string text;
    EXPECT_EQ(vexa::decipherWholeText(cipherText, kKey, text), "");
    EXPECT_EQ(text, plain);
    EXPECT_EQ(vexa::decipherWholeText(encipheredText(""), kKey, text), "");
    EXPECT_EQ(text, "");
    for (std::size_t cut = 0; cut < cipherText.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_NE(vexa::decipherWholeText(cipherText.substr(0, cut), kKey, text), "");
        EXPECT_EQ(plain.substr(0, text.size()), text);
        EXPECT_EQ(text.size(), cut < 32 ? 0u : std::min(plain.size(), (cut / 32 * 16) - 4));
    }
    EXPECT_EQ(vexa::decipherWholeText(cipherText.substr(0, 64), kKey, text), "is cut short (32 of 57 bytes)");
    EXPECT_EQ(vexa::decipherWholeText(cipherText + "00", kKey, text), "is longer than its length field says");
    EXPECT_EQ(vexa::decipherWholeText(cipherText.substr(0, cipherText.size() - 1) + "1", kKey, text),
              "ends in fill bytes that are not zero");
    EXPECT_EQ(vexa::decipherWholeText("XY" + cipherText.substr(2), kKey, text), "is not hex text");
    EXPECT_EQ(text, "");
    EXPECT_NE(vexa::decipherWholeText(cipherText, kOtherKey, text), "");
    // Bytes enciphered as they are, not as a text with its zero byte.
    std::string bytes;
    ASSERT_TRUE(vexa::encipherBytes(std::vector<std::uint8_t>{'a', 0, 'b'}, kKey, bytes));
    EXPECT_EQ(vexa::decipherWholeText(bytes, kKey, text), "does not decipher to text");
}
