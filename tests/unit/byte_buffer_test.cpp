#include "support/byte_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

using vexa::ByteBuffer;
using vexa::SecureString;

namespace {

ByteBuffer fromHex(std::string_view hex, bool withBlanks = true) {
    ByteBuffer b;
    EXPECT_TRUE(b.assignHex(hex, withBlanks)) << hex;
    return b;
}

} // namespace

TEST(ByteBufferTest, ResizeClearsEvenAtSameLength) {
    ByteBuffer b = fromHex("01 02 03");
    b.resize(3);
    EXPECT_EQ(b.toHex(true), "00 00 00 ");
    b.resize(0);
    EXPECT_FALSE(b.isNonEmpty());
    EXPECT_EQ(b.data(), nullptr);
}

TEST(ByteBufferTest, HexFormsDifferInCaseAndBlanks) {
    ByteBuffer b = fromHex("00 ff");
    EXPECT_EQ(b.toHex(true), "00 FF ");
    EXPECT_EQ(b.toHex(false), "00FF");
    EXPECT_EQ(ByteBuffer().toHex(true), "");
    // The form for secrets is the same text.
    EXPECT_EQ(vexa::secretHex(b.bytes(), true).view(), "00 FF ");
    EXPECT_EQ(vexa::secretHex(b.bytes(), false).view(), "00FF");
}

namespace {

// Short enough to sit inside the object. Its tail is looked for: once a
// string outgrows the object, the head's place holds the capacity.
constexpr std::string_view kPin = "PIN 4711 4711 4";
constexpr std::string_view kPinTail = kPin.substr(9);

// Whether a string of type Text, used as use says and destroyed, leaves the
// PIN in its own object (where short strings live, out of the allocator's
// sight).
template <class Text, class Use>
bool leavesPinInItsObject(Use use) {
    alignas(Text) unsigned char storage[sizeof(Text)];
    Text* text = new (storage) Text;
    use(*text);
    text->~Text();
    return std::search(std::begin(storage), std::end(storage), kPinTail.begin(), kPinTail.end()) != std::end(storage);
}

} // namespace

TEST(SecureStringTest, LeavesNoPinInItsObjectHoweverItWasUsed) {
    const auto keep = [](auto& text) { text.assign(kPin.data(), kPin.size()); };
    // Grown beyond the object: the short form stays behind inside it.
    const auto grow = [](auto& text) {
        text.assign(kPin.data(), kPin.size());
        text.append(100, '0');
    };
    const auto moveOut = [](auto& text) {
        text.assign(kPin.data(), kPin.size());
        auto other = std::move(text);
    };
    // The check sees what a plain string leaves.
    EXPECT_TRUE(leavesPinInItsObject<std::string>(keep));
    EXPECT_TRUE(leavesPinInItsObject<std::string>(grow));
    EXPECT_FALSE(leavesPinInItsObject<SecureString>(keep));
    EXPECT_FALSE(leavesPinInItsObject<SecureString>(grow));
    EXPECT_FALSE(leavesPinInItsObject<SecureString>(moveOut));
    // Growing, copying and moving keep the text.
    SecureString text(kPin);
    text.append(40, '1');
    SecureString copy = text;
    const SecureString moved = std::move(copy);
    EXPECT_EQ(moved.view(), std::string(kPin) + std::string(40, '1'));
}

TEST(ByteBufferTest, AssignHexUnitsAndPadding) {
    EXPECT_EQ(fromHex("0a 1B").toHex(true), "0A 1B ");
    EXPECT_EQ(fromHex("0A1", false).toHex(true), "0A 01 ");
    EXPECT_EQ(fromHex("123", false).toHex(true), "12 03 ");
    EXPECT_EQ(fromHex("01 02").length(), 2u); // missing final blank is supplied
    // A unit is read up to its first non-hex character.
    EXPECT_EQ(fromHex("4G", false).toHex(true), "04 ");

    ByteBuffer b;
    EXPECT_FALSE(b.assignHex("GG", false));
    EXPECT_FALSE(b.assignHex("0102", true));
    EXPECT_FALSE(b.assignHex("01-02", true));
    // On failure the bytes read so far stay, zeros behind them.
    EXPECT_FALSE(b.assignHex("01 02 xx 04 ", true));
    EXPECT_EQ(b.toHex(true), "01 02 00 00 ");
    EXPECT_TRUE(b.assignHex("", true));
    EXPECT_EQ(b.length(), 0u);
}

TEST(ByteBufferTest, TextStopsAtZeroByte) {
    EXPECT_EQ(fromHex("41 00 42").toText(), "A");
    ByteBuffer b;
    b.assignText(std::string("A\0B", 3));
    EXPECT_EQ(b.length(), 3u);
}

TEST(ByteBufferTest, CopyInAndSetByteRespectBounds) {
    ByteBuffer b;
    b.resize(4);
    const std::uint8_t src[] = {1, 2};
    EXPECT_TRUE(b.copyIn(src, 2, 2));
    EXPECT_FALSE(b.copyIn(src, 3, 2));
    EXPECT_FALSE(b.copyIn(nullptr, 0, 1));
    EXPECT_FALSE(b.copyIn(src, 0xFFFFFFFFu, 2)); // offset + n wraps in 32 bits
    EXPECT_TRUE(b.copyTextIn("AB", 0));
    EXPECT_FALSE(b.copyTextIn("ABC", 2));
    EXPECT_TRUE(b.setByte(3, 0xEE));
    EXPECT_FALSE(b.setByte(4, 0));
    EXPECT_EQ(b.toHex(true), "41 42 01 EE ");
}

TEST(ByteBufferTest, TruncateAndCopyOut) {
    ByteBuffer b = fromHex("01 02 03");
    EXPECT_FALSE(b.truncate(4));
    EXPECT_TRUE(b.truncate(2));
    EXPECT_EQ(b.toHex(true), "01 02 ");
    std::uint8_t out[4] = {9, 9, 9, 9};
    b.copyOut(out, 4);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), (std::vector<std::uint8_t>{1, 2, 0, 0}));
    b.copyOut(out, 1);
    EXPECT_EQ(out[0], 1);
    b.resize(5); // after a truncate the buffer still grows cleanly
    EXPECT_EQ(b.toHex(false), "0000000000");
}

TEST(ByteBufferTest, CopiesAreDeepAndSelfAssignmentIsHarmless) {
    ByteBuffer a = fromHex("01 02");
    ByteBuffer b = a;
    b.setByte(0, 9);
    EXPECT_EQ(a.toHex(false), "0102");
    a = a;
    EXPECT_EQ(a.toHex(false), "0102");
    ByteBuffer c = std::move(b);
    EXPECT_EQ(c.toHex(false), "0902");
    EXPECT_EQ(b.length(), 0u);
    // Assigning a buffer from its own bytes must not read freed storage.
    c.assign(c.data() + 1, 1);
    EXPECT_EQ(c.toHex(false), "02");
}

TEST(ByteBufferTest, BigEndianIntegers) {
    ByteBuffer b;
    b.storeUnsigned32(258, 1);
    EXPECT_EQ(b.toHex(false), "02");
    b.storeUnsigned32(258, 3);
    EXPECT_EQ(b.toHex(false), "000102");
    EXPECT_EQ(fromHex("00 00 01 00").readUnsigned32(), 256u);
    EXPECT_EQ(fromHex("AA 00 00 01 00").readUnsigned32(), 256u); // only the last 4 count
    EXPECT_EQ(ByteBuffer().readSigned32(), 0);
    b.storeSigned32(-2, 4);
    EXPECT_EQ(b.toHex(false), "FFFFFFFE");
    EXPECT_EQ(b.readSigned32(), -2);
    b.storeSigned32(-2, 10);
    EXPECT_EQ(b.toHex(false), "FFFFFFFFFFFFFFFFFFFE");
    b.storeSigned32(INT32_MIN, 4);
    EXPECT_EQ(b.readSigned32(), INT32_MIN);
    b.storeUnsigned64(0x0102030405060708ull, 8);
    EXPECT_EQ(b.readUnsigned64(), 0x0102030405060708ull);
}

// Card input and server requests take only the strict form; Hex2Str and
// cipher text keep the lenient one, which reads units like strtol.
TEST(ByteBufferTest, StrictHexTakesOnlyTwoDigitBytesWithSingleBlanks) {
    struct Row {
        std::string_view text;
        bool withBlanks;
        const char* strict;  // the bytes, or nullptr when refused
        const char* lenient; // the same for assignHex
    };
    const Row rows[] = {
        {"00 A4 04 00", true, "00A40400", "00A40400"},
        {"00 A4 04 00 ", true, "00A40400", "00A40400"}, // final blank may be left out
        {"0a 1B ff", true, "0A1BFF", "0A1BFF"},
        {"", true, "", ""},
        {"9G A4 -1 00", true, nullptr, "09A4FF00"}, // a typo must not become 09 A4 FF 00
        {"+1 02", true, nullptr, "0102"},
        {"0 A4", true, nullptr, nullptr},
        {"00  A4", true, nullptr, nullptr},
        {" 00", true, nullptr, nullptr},
        {"00 A4  ", true, nullptr, nullptr},
        {"00\tA4", true, nullptr, nullptr},
        {"00 A", true, nullptr, "000A"},
        {"0102", true, nullptr, nullptr},
        {"00A40400", false, "00A40400", "00A40400"},
        {"00a4Ff", false, "00A4FF", "00A4FF"},
        {"0A1", false, nullptr, "0A01"},
        {"4G", false, nullptr, "04"},
        {"-1", false, nullptr, "FF"},
        {"00 A4", false, nullptr, "000A04"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text) + (row.withBlanks ? " with blanks" : " without blanks"));
        ByteBuffer strict = fromHex("01 02");
        EXPECT_EQ(strict.assignStrictHex(row.text, row.withBlanks), row.strict != nullptr);
        EXPECT_EQ(strict.toHex(false), row.strict ? row.strict : ""); // refused: empty, not half-filled
        ByteBuffer lenient;
        EXPECT_EQ(lenient.assignHex(row.text, row.withBlanks), row.lenient != nullptr);
        if (row.lenient) {
            EXPECT_EQ(lenient.toHex(false), row.lenient);
        }
    }
}
