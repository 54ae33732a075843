// The virtual card's rules and vpcd's framing, without vpcd.
#include "testbed/card_script.h"

#include <gtest/gtest.h>

#include "testbed/vpcd_framer.h"

namespace vexa::testbed {
namespace {

Bytes hex(std::string_view text) {
    Bytes bytes;
    EXPECT_TRUE(parseHexBytes(text, bytes)) << text;
    return bytes;
}

TEST(CardScriptTest, SelectsKnownApplicationsOnly) {
    CardScript card;
    card.addAid(hex("D27600000102"), hex("6F00"));
    EXPECT_EQ(card.answer(hex("00A4040C06D27600000102")).bytes, hex("9000"));
    EXPECT_EQ(card.answer(hex("00A4040006D2760000010200")).bytes, hex("6F009000"));
    EXPECT_EQ(card.answer(hex("00A4040C06D27600000103")).bytes, hex("6A82"));
    EXPECT_TRUE(card.failures().empty());
}

TEST(CardScriptTest, CannedAnswersBuiltInsAndStrictness) {
    CardScript card;
    card.addAnswer(hex("00B0"), true, hex("0102 9000"), std::chrono::milliseconds(5));
    const auto read = card.answer(hex("00B0000010"));
    EXPECT_EQ(read.bytes, hex("01029000"));
    EXPECT_EQ(read.delay.count(), 5);
    EXPECT_EQ(card.answer(hex("80EE000003AABBCC")).bytes, hex("AABBCC9000"));
    EXPECT_EQ(card.answer(hex("80E0010000")).bytes.size(), 258u);
    EXPECT_EQ(card.answer(hex("80E2000000020001")).bytes, hex("00089000"));
    EXPECT_EQ(card.answer(hex("80E40100")).delay.count(), 256);
    EXPECT_TRUE(card.failures().empty());

    EXPECT_EQ(card.answer(hex("00CA9F7F00")).bytes, hex("6D00"));
    ASSERT_EQ(card.failures().size(), 1u);
    EXPECT_EQ(card.failures()[0], "unexpected command 00CA9F7F00");
    EXPECT_EQ(card.received().size(), 6u);
    EXPECT_FALSE(card.answer(hex("00B0000010")).mute);
    // A card pulled mid-command: no answer, and gone after the delay.
    card.addLeave(hex("80CC"), true, std::chrono::milliseconds(20));
    const auto pulled = card.answer(hex("80CC000000"));
    EXPECT_TRUE(pulled.mute);
    EXPECT_EQ(pulled.delay.count(), 20);
    card.setMute(true);
    EXPECT_TRUE(card.answer(hex("80EE0000")).mute);
}

TEST(CardScriptTest, ExtendedLengthDataField) {
    Bytes command = {0x80, 0xEE, 0x00, 0x00, 0x00, 0x01, 0x2C};
    command.resize(7 + 300, 0x5A);
    EXPECT_EQ(commandData(command).size(), 300u);
    command.pop_back(); // cut short: no data field
    EXPECT_TRUE(commandData(command).empty());
}

TEST(VpcdFramerTest, JoinsPiecesAndSplitsMessages) {
    VpcdFramer framer;
    const Bytes message = VpcdFramer::frame(hex("00A40400"));
    EXPECT_EQ(message, hex("000400A40400"));
    framer.feed(std::span(message).first(1));
    EXPECT_FALSE(framer.next());
    framer.feed(std::span(message).subspan(1));
    framer.feed(hex("000104"));
    EXPECT_EQ(framer.next(), hex("00A40400"));
    EXPECT_EQ(framer.next(), hex("04"));
    EXPECT_FALSE(framer.next());
}

TEST(CardScriptTest, HexParsing) {
    Bytes bytes;
    EXPECT_TRUE(parseHexBytes("00 a4 04", bytes));
    EXPECT_EQ(bytes.size(), 3u);
    EXPECT_FALSE(parseHexBytes("0 0", bytes));
    EXPECT_FALSE(parseHexBytes("00A", bytes));
    EXPECT_FALSE(parseHexBytes("zz", bytes));
}

} // namespace
} // namespace vexa::testbed
