// The remote PC/SC wire format, byte for byte, against vectors written by
// hand from the protocol's table (not produced by our own encoder).
#include <gtest/gtest.h>

#include <cstdio>

#include "rpcsc/rpcsc_request.h"
#include "rpcsc/wire_message.h"

namespace vexa::wire {
namespace {

// A status-change request over one reader "R" (current state 0x10) on
// context 7, as the client writes it and the server reads it.
constexpr const char* kStatusChangeLine =
    "010008020001010300010B"
    "24000400000000"
    "260015"
    "270001"
    "52"
    "28000400000010"
    "29000400000000"
    "300000"
    "25000400000001"
    "0500080000000000000007";

TEST(WireMessageTest, RequestsEncodeExactly) {
    Writer establish(OP_ESTABLISH_CONTEXT);
    establish.putInt(TAG_SCOPE, 0);
    EXPECT_EQ(establish.line().view(), "010008020001010300010110000400000000");

    Writer transmit(OP_TRANSMIT);
    transmit.putHandle(TAG_CARD, 0x0102030405060708)
        .putInt(TAG_PROTOCOL, 2)
        .putBytes(TAG_INPUT, std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00})
        .putInt(TAG_MAX_OUTPUT, 258);
    EXPECT_EQ(transmit.line(),
              "01000802000101030001"
              "08"
              "0600080102030405060708"
              "16000400000002"
              "2100040"
              "0A40400"
              "23000400000102");

    Writer nested;
    nested.putText(TAG_STATE_READER, "R")
        .putInt(TAG_CURRENT_STATE, 0x10)
        .putInt(TAG_EVENT_STATE, 0)
        .putBytes(TAG_STATE_ATR, {});
    Writer change(OP_GET_STATUS_CHANGE);
    change.putInt(TAG_TIMEOUT, 0)
        .putNested(TAG_READER_STATE, nested)
        .putInt(TAG_STATE_COUNT, 1)
        .putHandle(TAG_CONTEXT, 7);
    EXPECT_EQ(change.line().view(), kStatusChangeLine);

    // Many small elements, written one after another.
    Writer many;
    std::string manyLine;
    for (std::uint32_t i = 0; i < 300; ++i) {
        many.putInt(TAG_STATE_COUNT, i);
        char element[15];
        std::snprintf(element, sizeof element, "25000400%06X", i);
        manyLine += element;
    }
    EXPECT_TRUE(many.ok());
    EXPECT_EQ(many.line().view(), manyLine);
}

TEST(WireMessageTest, AMessageThatLostAnElementIsNotOk) {
    Writer big(OP_TRANSMIT);
    big.putBytes(TAG_INPUT, std::vector<std::uint8_t>(40000)).putInt(TAG_MAX_OUTPUT, 1);
    EXPECT_FALSE(big.ok());
    EXPECT_EQ(big.line().view(), "0100080200010103000108"); // nothing after the lost element
    // A message filling the bound exactly is whole; one element more is lost.
    Writer full(OP_TRANSMIT);
    full.putBytes(TAG_INPUT, std::vector<std::uint8_t>(kMaxMessage - 11 - 3, 0xAB));
    ASSERT_TRUE(full.ok());
    std::string expected =
        "0100080200010103000108"
        "217FF2";
    for (std::uint32_t i = 0; i < kMaxMessage - 14; ++i) expected += "AB";
    EXPECT_EQ(full.line().view(), expected);
    full.putBytes(TAG_OUTPUT, {});
    EXPECT_FALSE(full.ok());
    EXPECT_EQ(full.line().view(), expected);
    Writer spoiled;
    spoiled.putBytes(TAG_INPUT, std::vector<std::uint8_t>(70000));
    Writer outer(OP_GET_STATUS_CHANGE);
    outer.putNested(TAG_READER_STATE, spoiled).putInt(TAG_STATE_COUNT, 1);
    EXPECT_FALSE(outer.ok());
}

TEST(WireMessageTest, AnswersDecodeInAnyOrderAndEitherCase) {
    Reader r;
    // result 0x8010000A, then header (op 8), an unknown tag 99, the answer.
    ASSERT_EQ(r.parseLine("040004"
                          "8010000a"
                          "010008020001010300010"
                          "8"
                          "630000"
                          "22000390"
                          "00"
                          "FF"),
              ParseError::none);
    EXPECT_EQ(r.operation(), 8u);
    EXPECT_EQ(r.intOr(TAG_RESULT, 0), 0x8010000Au);
    ASSERT_NE(r.find(TAG_OUTPUT), nullptr);
    EXPECT_EQ(r.find(TAG_OUTPUT)->value.toHex(true), "90 00 FF ");
    // Integers read over the element's whole length.
    ASSERT_EQ(r.parseLine("010008020001010300010216000102"), ParseError::none);
    EXPECT_EQ(r.intOr(TAG_PROTOCOL, 9), 2u);
    // An odd line: the last digit stands alone.
    ASSERT_EQ(r.parseLine("040004000000A"), ParseError::none);
    EXPECT_EQ(r.intOr(TAG_RESULT, 0), 0x0Au);
}

TEST(WireMessageTest, HeadersAreChecked) {
    Reader r;
    ASSERT_EQ(r.parseLine("010008020001020300010104000400000000"), ParseError::none);
    EXPECT_FALSE(r.operation()); // version 2
    ASSERT_EQ(r.parseLine("01000403000105"), ParseError::none);
    EXPECT_EQ(r.operation(), 5u); // no version element: accepted
    ASSERT_EQ(r.parseLine("04000400000000"), ParseError::none);
    EXPECT_FALSE(r.operation()); // no header
    ASSERT_EQ(r.parseLine("0100020300"), ParseError::none);
    EXPECT_FALSE(r.operation()); // header cut off inside
}

TEST(WireMessageTest, MalformedLinesAreRefused) {
    Reader r;
    EXPECT_EQ(r.parseLine("01000G"), ParseError::notHex);
    EXPECT_EQ(r.parseLine("0100 80"), ParseError::notHex);
    EXPECT_EQ(r.parseLine("+1"), ParseError::notHex);
    EXPECT_EQ(r.parseLine("-1"), ParseError::notHex);
    EXPECT_EQ(r.parseLine("0\r"), ParseError::notHex);
    EXPECT_EQ(r.parseLine("0400040000"), ParseError::cutOff);
    EXPECT_EQ(r.parseLine("04"), ParseError::cutOff);
    EXPECT_EQ(r.parseLine(""), ParseError::none);
    EXPECT_TRUE(r.elements().empty());
}

TEST(RpcscRequestTest, ReadsRequestsWrittenByHand) {
    rpcsc::Request q;
    ASSERT_EQ(rpcsc::parseRequest("0100080200010103000104"
                                  "0500080000000000000007"
                                  "130003"
                                  "41"
                                  "3A"
                                  "42"
                                  "14000400000001"
                                  "15000400000003",
                                  q),
              rpcsc::RequestError::none);
    EXPECT_EQ(q.op, OP_CONNECT);
    EXPECT_EQ(q.context, 7u);
    EXPECT_EQ(q.reader, "A:B");
    EXPECT_EQ(q.shareMode, 1u);
    EXPECT_EQ(q.protocols, 3u);

    ASSERT_EQ(rpcsc::parseRequest(kStatusChangeLine, q), rpcsc::RequestError::none);
    ASSERT_EQ(q.states.size(), 1u);
    EXPECT_EQ(q.states[0].reader, "R");
    EXPECT_EQ(q.states[0].current, 0x10u);
}

TEST(RpcscRequestTest, SortsOutWhatCannotBeServed) {
    rpcsc::Request q;
    EXPECT_EQ(rpcsc::parseRequest("xyz", q), rpcsc::RequestError::notMessage);
    EXPECT_EQ(rpcsc::parseRequest("04000400000000", q), rpcsc::RequestError::notMessage);
    EXPECT_EQ(rpcsc::parseRequest("0100080200010103000163", q), rpcsc::RequestError::unknownOp);
    EXPECT_EQ(q.op, 0x63);
    EXPECT_EQ(rpcsc::parseRequest("0100080200010103000100", q), rpcsc::RequestError::unknownOp);
    // A reader name with a NUL inside, and a status change without states
    // or with a count that does not match them.
    EXPECT_EQ(rpcsc::parseRequest("0100080200010103000104"
                                  "130003410042",
                                  q),
              rpcsc::RequestError::badArguments);
    EXPECT_EQ(rpcsc::parseRequest("010008020001010300010B"
                                  "24000400000000",
                                  q),
              rpcsc::RequestError::badArguments);
    EXPECT_EQ(rpcsc::parseRequest("010008020001010300010B"
                                  "260004"
                                  "27000152"
                                  "25000400000002",
                                  q),
              rpcsc::RequestError::badArguments);
}

} // namespace
} // namespace vexa::wire
