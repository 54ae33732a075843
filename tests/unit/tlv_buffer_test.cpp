#include "support/tlv_buffer.h"

#include <gtest/gtest.h>

#include <vector>

using vexa::ByteBuffer;
using vexa::TlvBuffer;
using vexa::TlvWidth;

namespace {

std::vector<std::uint8_t> filled(std::size_t n) {
    return std::vector<std::uint8_t>(n, 0xAB);
}

TlvBuffer loaded(std::string_view hex, TlvWidth width = TlvWidth::narrow) {
    TlvBuffer buffer(width);
    EXPECT_TRUE(buffer.loadHex(hex, true)) << hex;
    return buffer;
}

} // namespace

TEST(TlvBufferTest, PutEncodesLengthsAndEnforcesLimits) {
    TlvBuffer narrow;
    narrow.allocate(257);
    EXPECT_TRUE(narrow.put(0x01, filled(255)));
    EXPECT_EQ(narrow.usedSize(), 257u);
    narrow.allocate(1000);
    EXPECT_FALSE(narrow.put(0x01, filled(256)));
    narrow.allocate(256);
    EXPECT_FALSE(narrow.put(0x01, filled(255)));

    TlvBuffer wide(TlvWidth::wide);
    wide.allocate(303);
    ASSERT_TRUE(wide.put(0x07, filled(300)));
    EXPECT_EQ(wide.toHex(false).substr(0, 6), "07012C");

    narrow.allocate(16);
    EXPECT_TRUE(narrow.putUnsigned32(0x04, 1));
    EXPECT_TRUE(narrow.putUnsigned64(0x09, 0x0102030405060708ull));
    EXPECT_EQ(narrow.toHex(false), "04040000000109080102030405060708");
}

TEST(TlvBufferTest, FailedPutChangesNothingAndRefusesLaterPuts) {
    TlvBuffer buffer;
    buffer.allocate(8);
    ASSERT_TRUE(buffer.putText(0x01, "ab"));
    EXPECT_FALSE(buffer.putText(0x02, "too long"));
    EXPECT_EQ(buffer.toHex(false), "01026162");
    // A smaller element would fit, but the message already lost one.
    EXPECT_FALSE(buffer.putText(0x03, "c"));
    buffer.allocate(8);
    EXPECT_TRUE(buffer.putText(0x03, "c"));
}

TEST(TlvBufferTest, NestedAndRawCopyTheUsedPart) {
    TlvBuffer inner;
    inner.allocate(32);
    inner.putText(0x01, "x");
    TlvBuffer outer;
    outer.allocate(32);
    EXPECT_TRUE(outer.putNested(0x30, inner));
    EXPECT_TRUE(outer.appendRaw(inner));
    EXPECT_TRUE(outer.putNested(0x31, outer)); // its own used part
    EXPECT_EQ(outer.toHex(false), "300301017801017831083003010178010178");
    TlvBuffer small;
    small.allocate(2);
    EXPECT_FALSE(small.appendRaw(inner));
}

TEST(TlvBufferTest, GetReadsElementsAndNeverPastTheEnd) {
    std::uint8_t tag = 0;
    ByteBuffer value;
    TlvBuffer buffer = loaded("01 02 AA BB 02 00 03 01 CC 04");
    ASSERT_TRUE(buffer.get(tag, value));
    EXPECT_EQ(value.toHex(false), "AABB");
    ASSERT_TRUE(buffer.get(tag, value)); // length 0: header only
    EXPECT_EQ(tag, 0x02);
    EXPECT_EQ(value.length(), 0u);
    EXPECT_EQ(buffer.usedSize(), 6u);
    ASSERT_TRUE(buffer.get(tag, value));
    EXPECT_FALSE(buffer.get(tag, value)); // a tag without length
    EXPECT_FALSE(buffer.get(tag, value));

    TlvBuffer overlong = loaded("01 05 AA BB");
    EXPECT_FALSE(overlong.get(tag, value));
    EXPECT_EQ(overlong.usedSize(), 2u); // after the length field
    EXPECT_EQ(value.length(), 0u);

    EXPECT_FALSE(loaded("07 01", TlvWidth::wide).get(tag, value));
    TlvBuffer wide = loaded("07 00 02 AA BB 08 FF FF 00", TlvWidth::wide);
    ASSERT_TRUE(wide.get(tag, value));
    EXPECT_EQ(value.toHex(false), "AABB");
    EXPECT_FALSE(wide.get(tag, value));
}

TEST(TlvBufferTest, SeekEndStopsAtZeroTagOrArrayEnd) {
    TlvBuffer buffer;
    buffer.allocate(32);
    buffer.putText(0x01, "ab");
    buffer.putText(0x02, "");
    buffer.rewind();
    buffer.seekEnd();
    EXPECT_EQ(buffer.usedSize(), 6u);
    TlvBuffer moved = std::move(buffer);
    EXPECT_EQ(moved.usedSize(), 6u);
    EXPECT_EQ(buffer.usedSize(), 0u); // the emptied source keeps its cursor inside

    // A forged length ends the walk at the array end; nothing fits behind it.
    TlvBuffer forged = loaded("01 01 AA 05 FF 00 00", TlvWidth::wide);
    forged.seekEnd();
    EXPECT_EQ(forged.usedSize(), forged.capacity());
    EXPECT_FALSE(forged.putText(0x01, ""));
}
