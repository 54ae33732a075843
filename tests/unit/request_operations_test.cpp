// Server requests without a card: the message layouts, byte for byte against
// messages written out by hand, and the failures that still answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "temp_files.h"
#include "admitted_plugin.h"
#include "core/chip_card_plugin.h"
#include "core/server_batch.h"
#include "support/cipher.h"

using namespace vexa;
using vexa::testing::AdmittedPlugin;
namespace fs = std::filesystem;

namespace {

class RequestOperationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_support::makeUniqueDirectory(std::filesystem::temp_directory_path(), "vexa-request-");
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string logText() const {
        std::ifstream in(dir / "vexa.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir;
};

// Header: version 20, function 300 -> 2C, process 70000 -> 11 70, client
// "CID", empty transaction id still written; environment before any card.
const std::string kEncoded =
    "10 1D 11 01 14 12 01 2C 13 02 11 70 14 03 43 49 44 15 00 16 04 00 00 00 00 "
    "17 04 00 00 00 00 "
    "20 11 22 01 00 23 00 24 05 4C 69 6E 75 78 25 00 26 01 00 "
    "41 01 00 ";

TEST_F(RequestOperationsTest, EncodeRequestWritesHeaderEnvironmentAndTheCallersElements) {
    AdmittedPlugin plugin(dir / "vexa.log");
    const std::string request = plugin.EncodeRequest("CID", "", 300, 70000, "41 01 00");
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(plugin.GetLastErrorCode(), 0);
    EXPECT_EQ(plugin.DecodeRequest(request), kEncoded);
    // The caller's elements end at the first zero tag.
    EXPECT_EQ(plugin.DecodeRequest(plugin.EncodeRequest("CID", "", 300, 70000, "41 01 00 00 05 01 02")), kEncoded);
}

TEST_F(RequestOperationsTest, EncodeRequestRefusesWhatItCannotWrite) {
    AdmittedPlugin plugin(dir / "vexa.log");
    // Client and transaction id share the header's 255 bytes: 229 fit.
    EXPECT_FALSE(plugin.EncodeRequest(std::string(129, 'c'), std::string(100, 't'), 1, 1, "").empty());
    EXPECT_EQ(plugin.EncodeRequest(std::string(130, 'c'), std::string(100, 't'), 1, 1, ""), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), 992209);
    // Elements the lenient reading would take as other bytes are refused.
    for (const char* tlv : {"G4 01", "41 01 -1", "41 01 0G", "41 1 00", "41  01 00"}) {
        EXPECT_EQ(plugin.EncodeRequest("c", "t", 1, 1, tlv), "") << tlv;
        EXPECT_EQ(plugin.GetLastErrorCode(), 992209) << tlv;
    }
    EXPECT_NE(logText().find(" 1 Cannot encode data in EncodeRequest"), std::string::npos) << logText();
    EXPECT_EQ(plugin.DecodeRequest("00112233"), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), 992210);
}

TEST_F(RequestOperationsTest, UnreadableRequestsStillGetACompleteResponse) {
    AdmittedPlugin plugin(dir / "vexa.log");
    // Header with error 992200 (00 0F 23 C8), no card removed, one empty
    // result; also for text the lenient reading would take as a release
    // (41 01 01) or as an empty request (41 01 00).
    for (const char* input : {"ZZ", "4101+1", "4101G", "41 01 01", "41 01 0"}) {
        EXPECT_EQ(plugin.ExecuteRequest(input, 0, 5),
                  "101A11011412010913020000140015001604000F23C8170400000000500100510A52005304000000005400")
            << input;
        EXPECT_EQ(plugin.GetLastErrorCode(), 0);
    }
    const std::string enciphered = plugin.ExecuteRequest("not hex", 1, 5);
    EXPECT_EQ(plugin.DecodeRequest(enciphered),
              "10 1A 11 01 14 12 01 09 13 02 00 00 14 00 15 00 16 04 00 0F 23 D2 "
              "17 04 00 00 00 00 50 01 00 51 0A 52 00 53 04 00 00 00 00 54 00 ");
    EXPECT_NE(logText().find(" ERROR    (return code 992210: )"), std::string::npos) << logText();
}

TEST_F(RequestOperationsTest, RequestsWithoutCommandsOrWithReleaseNeedNoCard) {
    AdmittedPlugin plugin(dir / "vexa.log");
    // Header: process 7, client "S", transaction "T1"; no commands.
    const std::string request = "1017110114120109130200071401531502543116010017010041010042010000";
    EXPECT_EQ(plugin.ExecuteRequest(request, 0, 0),
              "101D11011412010913020007140153150254311604000000001704000000005001"
              "00");
    EXPECT_NE(logText().find(" INFO    transaction id on server is T1"), std::string::npos);
    // Release: no response, the connection is closed.
    EXPECT_EQ(plugin.ExecuteRequest("410101", 0, 0), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), -1);
    // Servers end a batch with a lone digit for a last byte below 0x10.
    EXPECT_EQ(plugin.ExecuteRequest("41011", 0, 0), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), -1);
    EXPECT_EQ(plugin.ExecuteRequest(request.substr(0, request.size() - 2) + "0", 0, 0),
              "101D11011412010913020007140153150254311604000000001704000000005001"
              "00");
    EXPECT_EQ(plugin.ExecuteRequest("4", 0, 0),
              "101A11011412010913020000140015001604000000001704000000005001"
              "00");
}

TEST(RequestMessageTest, ReadingSkipsUnknownTagsTakesAnyWidthAndStopsAtACutElement) {
    TlvBuffer in;
    // 0x99 unknown; continue flag as 2 bytes; a command with a 3-byte control
    // code and an unknown inner tag; then an element cut off by the end.
    ASSERT_TRUE(
        in.loadHex("99 02 AA BB 42 02 00 01 43 10 44 04 00 A4 04 00 77 00 48 03 31 20 00 47 01 01 "
                   "43 05 44 01",
                   true));
    const ServerRequest request = readRequest(in);
    EXPECT_TRUE(request.continueOnError);
    EXPECT_FALSE(request.release);
    ASSERT_EQ(request.commands.size(), 1u);
    EXPECT_EQ(request.commands[0].apdu.toHex(true), "00 A4 04 00 ");
    EXPECT_EQ(request.commands[0].controlCode, 0x312000u);
    EXPECT_TRUE(request.commands[0].stopOnSuccess);
    EXPECT_EQ(request.header.version, 0); // no header: fields read as 0
}

TEST(RequestMessageTest, AWrittenRequestHasTheServersLayoutAndReadsBack) {
    ServerRequest request;
    request.header.functionId = kExecuteFunctionId;
    request.header.processId = 42;
    request.header.clientId = "BANK";
    request.header.transactionId = "T";
    request.continueOnError = true;
    request.commands.push_back(
        {ByteBuffer(std::vector<std::uint8_t>{0x80, 0xEE, 0x00, 0x00}.data(), 4), true, 3, false, 0x312000});
    request.commands.push_back(
        {ByteBuffer(std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00}.data(), 4), false, 0, true, 0});
    TlvBuffer out;
    out.allocate(kMessageCapacity);
    ASSERT_TRUE(writeRequest(out, request));
    // Flags one byte wide, seconds and control code four; commands in order.
    EXPECT_EQ(out.toHex(true),
              "10 1F 11 01 14 12 01 09 13 02 00 2A 14 04 42 41 4E 4B 15 01 54 16 04 00 00 00 00 "
              "17 04 00 00 00 00 41 01 00 42 01 01 "
              "43 18 44 04 80 EE 00 00 45 01 01 46 04 00 00 00 03 47 01 00 48 04 00 31 20 00 "
              "43 18 44 04 00 A4 04 00 45 01 00 46 04 00 00 00 00 47 01 01 48 04 00 00 00 00 ");
    out.rewind();
    const ServerRequest back = readRequest(out);
    EXPECT_EQ(back.header.processId, 42);
    EXPECT_EQ(back.header.clientId, "BANK");
    EXPECT_TRUE(back.continueOnError);
    ASSERT_EQ(back.commands.size(), 2u);
    EXPECT_TRUE(back.commands[0].reconnect);
    EXPECT_EQ(back.commands[0].reconnectSeconds, 3);
    EXPECT_EQ(back.commands[0].controlCode, 0x312000u);
    EXPECT_TRUE(back.commands[1].stopOnSuccess);
    EXPECT_EQ(back.commands[1].apdu.toHex(true), "00 A4 04 00 ");

    // A command block holds 255 bytes: an APDU of 235 fits, one more does not.
    request.commands = {{ByteBuffer(std::vector<std::uint8_t>(235).data(), 235), false, 0, false, 0}};
    out.allocate(kMessageCapacity);
    EXPECT_TRUE(writeRequest(out, request));
    request.commands[0].apdu = ByteBuffer(std::vector<std::uint8_t>(236).data(), 236);
    out.allocate(kMessageCapacity);
    EXPECT_FALSE(writeRequest(out, request));
}

TEST(RequestMessageTest, AResultOverTheBlockLimitMakesTheResponseUnwritable) {
    ServerResponse response;
    response.results.push_back({ByteBuffer(std::vector<std::uint8_t>(245).data(), 245), 0x9000, ""});
    TlvBuffer out;
    out.allocate(kMessageCapacity);
    EXPECT_TRUE(writeResponse(out, response));
    response.results.push_back({ByteBuffer(std::vector<std::uint8_t>(240).data(), 240), 0x9000, "123456"});
    out.allocate(kMessageCapacity);
    EXPECT_FALSE(writeResponse(out, response));
}

} // namespace
