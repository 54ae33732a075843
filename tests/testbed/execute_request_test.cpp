// Server requests run on the virtual card: which commands run, what each
// result holds, and what happens to the connection.
#include "pcsc/pcsc_api.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cardaccess/card_error.h"
#include "cardaccess/card_interfaces.h"
#include "core/server_batch.h"
#include "support/byte_buffer.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

// One narrow TLV element as plain hex; value: hex without blanks.
std::string tlv(const std::string& tag, const std::string& value) {
    const std::size_t length = value.size() / 2;
    static constexpr char digits[] = "0123456789ABCDEF";
    return tag + digits[length >> 4] + digits[length & 0xF] + value;
}

const std::string kHeader =
    tlv("10", tlv("11", "14") + tlv("12", "09") + tlv("13", "0042") + tlv("14", "5345525645") + tlv("15", "5458"));
const std::string kEcho = tlv("43", tlv("44", "80EE000003010203"));
const std::string kSelect = tlv("43", tlv("44", "00A4040007A0000000010001"));
const std::string kRefused = tlv("43", tlv("44", "80CA000000"));

class ExecuteRequestTest : public AdmittedPluginTest {
protected:
    void SetUp() override {
        AdmittedPluginTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        card1.require("aid A0000000010001");
        card1.require("answer 80CA000000 6A82");
        ASSERT_EQ(plugin.ConnectCardEx(kReader1, SCARD_SHARE_SHARED, 3, 0), 0);
    }
    // Runs a plain request and reads its plain response back.
    ServerResponse execute(const std::string& body) {
        const std::string text = plugin.ExecuteRequest(kHeader + body, 0, 0);
        ByteBuffer bytes;
        EXPECT_TRUE(bytes.assignHex(text, false)) << text;
        TlvBuffer in;
        in.load(bytes);
        return readResponse(in);
    }
    static std::vector<std::int32_t> codes(const ServerResponse& response) {
        std::vector<std::int32_t> out;
        for (const auto& result : response.results) out.push_back(result.code);
        return out;
    }
};

TEST_F(ExecuteRequestTest, CommandsRunInOrderUntilOneFails) {
    const ServerResponse response = execute(kSelect + kEcho + kRefused + kEcho);
    EXPECT_EQ(plugin.GetLastErrorCode(), 0);
    EXPECT_EQ(response.header.functionId, 9);
    EXPECT_EQ(response.header.processId, 0x42);
    EXPECT_EQ(response.header.clientId, "SERVE");
    EXPECT_EQ(response.header.transactionId, "TX");
    EXPECT_FALSE(response.cardRemoved);
    EXPECT_EQ(codes(response), (std::vector<std::int32_t>{0x9000, 0x9000, 0x6A82}));
    EXPECT_EQ(response.results[1].answer.toHex(true), "01 02 03 90 00 ");
    // With the continue flag the rest runs too; the stop flag ends at a success.
    EXPECT_EQ(codes(execute(tlv("42", "01") + kRefused + kEcho)), (std::vector<std::int32_t>{0x6A82, 0x9000}));
    const std::string stopHere = tlv("43", tlv("44", "80EE000001AA") + tlv("47", "01"));
    EXPECT_EQ(codes(execute(stopHere + kEcho)), std::vector<std::int32_t>{0x9000});
    // A command the card never answered carries no answer, not the bytes
    // an earlier command left behind.
    const ServerResponse failed = execute(tlv("42", "01") + kEcho + tlv("43", tlv("44", "")));
    ASSERT_EQ(failed.results.size(), 2u) << plugin.GetLastErrorCode();
    EXPECT_EQ(failed.results[0].answer.toHex(true), "01 02 03 90 00 ");
    EXPECT_FALSE(isSuccessCode(failed.results[1].code));
    EXPECT_EQ(failed.results[1].answer.length(), 0u) << failed.results[1].answer.toHex(true);
}

TEST_F(ExecuteRequestTest, ReconnectRemovalAndReleaseConcernTheConnection) {
    // Reconnect before the command, at once and with retries.
    const std::string reconnect = tlv("43", tlv("44", "80EE000001AA") + tlv("45", "01"));
    const std::string retried = tlv("43", tlv("44", "80EE000001AA") + tlv("45", "01") + tlv("46", "00000002"));
    EXPECT_EQ(codes(execute(reconnect + retried)), (std::vector<std::int32_t>{0x9000, 0x9000}));

    // A card gone before the first command: flagged, and nothing is sent.
    card1.require("remove");
    ASSERT_TRUE(testbed::waitForCard(kReader1, false, kCardWait));
    const ServerResponse gone = execute(kEcho + kEcho);
    EXPECT_TRUE(gone.cardRemoved);
    EXPECT_EQ(codes(gone), std::vector<std::int32_t>{ERR_CARD_REMOVED});
    card1.require("insert");
    ASSERT_TRUE(testbed::waitForCard(kReader1, true, kCardWait));

    // A release request closes the connection and answers nothing.
    ASSERT_EQ(plugin.ConnectCardEx(kReader1, SCARD_SHARE_EXCLUSIVE, 3, 0), 0);
    EXPECT_EQ(plugin.ExecuteRequest(kHeader + tlv("41", "01") + kEcho, 0, 0), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), -1);
    EXPECT_EQ(plugin.IsCardRemoved(), ERR_NOT_CONNECTED);
}

// A card may go with any command: the command pulled from it fails with
// SCARD_W_REMOVED_CARD, the response says the card was removed, and the
// request ends there as after any failed command. A one-byte answer from a
// card still there is a communication error. The same on every interface.
TEST_F(ExecuteRequestTest, ACardPulledMidRequestIsReportedAndEndsIt) {
    const std::string oneByte = tlv("43", tlv("44", "80CB000000"));
    const std::string pulled = tlv("43", tlv("44", "80CC000000"));
    InterfaceRows interfaces;
    // windir names the bed's folder for CT-API; the plug-in's files stay in
    // the test's config home, which APPDATA names before windir.
    const std::string home = std::getenv("XDG_CONFIG_HOME");
    struct ConfigHome {
        explicit ConfigHome(const std::string& path) { setenv("APPDATA", path.c_str(), 1); }
        ~ConfigHome() { unsetenv("APPDATA"); }
    } configHome(home);
    const std::string folder = home + "/MERIDAN";
    std::filesystem::create_directories(folder);
    for (const BedInterface& row : interfaces.rows) {
        SCOPED_TRACE(row.label);
        // The configuration names the interface and the server, as a user's does.
        std::ofstream(folder + "/vexa_ie.conf")
            << "INTERFACE=" << kInterfaceNames.nameOf(row.type) << "\nREMOTE_PCSC_SERVER=" << interfaces.server << "\n";
        plugin.resetPlugin();
        plugin.loadConfiguration({.clientText = "test"});
        ASSERT_EQ(plugin.Open("page"), 0);
        card1.require("answer 80CB000000 90");
        card1.require("answer 80CC000000 leave 20");
        ASSERT_EQ(plugin.ConnectCardEx(row.reader1, SCARD_SHARE_SHARED, 3, 0), 0);

        const ServerResponse broken = execute(kEcho + oneByte + kEcho);
        EXPECT_FALSE(broken.cardRemoved);
        EXPECT_EQ(codes(broken), (std::vector<std::int32_t>{0x9000, pcsc::code(SCARD_F_COMM_ERROR)}));
        EXPECT_EQ(broken.results.back().answer.length(), 0u);

        const ServerResponse gone = execute(kEcho + pulled + kEcho);
        EXPECT_EQ(plugin.GetLastErrorCode(), 0);
        EXPECT_EQ(gone.header.errorCode, 0);
        EXPECT_TRUE(gone.cardRemoved);
        EXPECT_EQ(codes(gone), (std::vector<std::int32_t>{0x9000, pcsc::code(SCARD_W_REMOVED_CARD)}));
        EXPECT_EQ(gone.results.back().answer.length(), 0u);
        // The next request finds the card gone before its first command.
        EXPECT_TRUE(execute(kEcho).cardRemoved);
        card1.require("insert");
        ASSERT_TRUE(testbed::waitForCard(kReader1, true, kCardWait));
    }
}

TEST_F(ExecuteRequestTest, EncodedRoundTripAndAnAnswerTooLongToCarry) {
    // The request as a server builds it, with this plug-in's environment.
    const std::string request = plugin.EncodeRequest("SERVE", "TX", 9, 7, "43 0A 44 08 80 EE 00 00 03 01 02 03");
    ASSERT_FALSE(request.empty());
    EXPECT_NE(plugin.DecodeRequest(request).find("23 11 56 69 72 74 75 61 6C 20 50 43 44 20 30 30 20 30 31 "),
              std::string::npos)
        << "the environment names the connected reader";
    const std::string answer = plugin.DecodeRequest(plugin.ExecuteRequest(request, 1, 0));
    EXPECT_NE(answer.find("51 0F 52 05 01 02 03 90 00 53 04 00 00 90 00 54 00 "), std::string::npos) << answer;
    EXPECT_NE(answer.find("13 02 00 07 "), std::string::npos) << "the request's process id";

    // 246 answer bytes do not fit the result block: no response at all.
    card1.require("answer 80CB000000 " + std::string(244 * 2, 'A') + "9000");
    EXPECT_EQ(plugin.ExecuteRequest(kHeader + tlv("43", tlv("44", "80CB000000")), 0, 0), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_ENCODE_FAILED);
}

} // namespace
} // namespace vexa::testing
