// Card access parts that need no reader: APDU helpers and an idle
// connection. The connected paths run against the test bed
// (tests/testbed/).
#include <gtest/gtest.h>

#include "pcsc/pcsc_api.h"

#include <atomic>
#include <deque>
#include <vector>

#include "cardaccess/apdu.h"
#include "cardaccess/card_error.h"
#include "cardaccess/interface_type.h"
#include "cardaccess/pcsc_backend.h"
#include "cardaccess/tov_chip_default_access.h"
#include "loopback_listener.h"
#include "platform/system.h"
#include "readers/reader_interfaces.h"
#include "rpcsc/wire_message.h"
#include "temp_files.h"

namespace vexa {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ApduTest, StatusWordAndProtocolFromAtr) {
    EXPECT_EQ(statusWord(Bytes{0x90}), 0);
    EXPECT_EQ(statusWord(Bytes{0x01, 0x6A, 0x82}), 0x6A82);
    EXPECT_EQ(protocolFromAtr(Bytes{0x3B, 0x8F, 0x80, 0x01}), 1u);       // TD1 = 80: T=0
    EXPECT_EQ(protocolFromAtr(Bytes{0x3B, 0x9F, 0x96, 0x81, 0x31}), 2u); // TA1, TD1 = 81: T=1
    EXPECT_EQ(protocolFromAtr(Bytes{0x3B, 0x02, 0x14, 0x50}), 0u);
    EXPECT_EQ(protocolFromAtr(Bytes{0x3B, 0xF0}), 1u); // TD1 past the end reads as 00
    EXPECT_EQ(protocolFromAtr(Bytes{0x3B}), 0u);
}

TEST(ApduTest, PinCommandsAreMaskedForTheLog) {
    const std::vector<std::pair<Bytes, std::string>> rows = {
        {{0x00, 0x20, 0x00, 0x81, 0x04, 0x31, 0x32, 0x33, 0x34}, "00 20 00 81 04 ** ** ** **"},
        {{0x00, 0x21, 0x00, 0x00, 0x04, 0x5F, 0x2E, 0x01, 0x31}, "00 21 00 00 04 ** ** ** **"},
        {{0x00, 0x24, 0x00, 0x81, 0x00, 0x00, 0x02, 0x31, 0x32}, "00 24 00 81 00 00 02 ** **"}, // extended Lc
        {{0x00, 0x26, 0x00, 0x81, 0x00, 0x00, 0x02, 0x31, 0x32, 0x00, 0x00}, "00 26 00 81 00 00 02 ** ** ** **"},
        {{0x00, 0x28, 0x00, 0x81, 0x02, 0x31, 0x32}, "00 28 00 81 02 ** **"},
        {{0x00, 0x2C, 0x03, 0x81, 0x02, 0x31, 0x32, 0x00}, "00 2c 03 81 02 ** ** **"}, // Le masked too
        {{0x00, 0x2D, 0x00, 0x00, 0x03, 0x31, 0x32, 0x33}, "00 2d 00 00 03 ** ** **"},
        {{0x00, 0x25, 0x00, 0x81, 0x06, 0x81, 0x04, 0x31, 0x32, 0x33, 0x34},
         "00 25 00 81 06 ** ** ** ** ** **"}, // odd INS: data as BER-TLV
        {{0x00, 0x27, 0x00, 0x81, 0x02, 0x31, 0x32}, "00 27 00 81 02 ** **"},
        {{0x00, 0x29, 0x00, 0x81, 0x02, 0x31, 0x32}, "00 29 00 81 02 ** **"},
        // ENVELOPE around a VERIFY, short and extended, and its odd INS.
        {{0x00, 0xC2, 0x00, 0x00, 0x07, 0x00, 0x20, 0x00, 0x81, 0x02, 0x31, 0x32},
         "00 c2 00 00 07 ** ** ** ** ** ** **"},
        {{0x0C, 0xC2, 0x00, 0x00, 0x00, 0x00, 0x03, 0x87, 0x01, 0x31, 0x00, 0x00},
         "0c c2 00 00 00 00 03 ** ** ** ** **"},
        {{0x00, 0xC3, 0x00, 0x00, 0x04, 0x53, 0x02, 0x31, 0x32}, "00 c3 00 00 04 ** ** ** **"},
        {{0x10, 0xC2, 0x00, 0x00, 0x02, 0x31, 0x32}, "10 c2 00 00 02 ** **"}, // chained part
        {{0x00, 0xC2, 0x00, 0x00}, "00 c2 00 00"},
        {{0x80, 0x20, 0x00, 0x81, 0x02, 0x31, 0x32}, "80 20 00 81 02 ** **"}, // any class
        {{0x00, 0x20, 0x00, 0x81, 0x00, 0x31, 0x32, 0x33, 0x34},
         "00 20 00 81 00 ** ** ** **"},            // Lc 00 is no extended length
        {{0x00, 0x20, 0x00, 0x81}, "00 20 00 81"}, // status query, no PIN
        {{0x00, 0x20, 0x00, 0x81, 0x00}, "00 20 00 81 00"},
        {{0x00, 0xA4, 0x04, 0x0C, 0x01, 0x31}, "00 a4 04 0c 01 31"},
        {{0x00, 0x22, 0x41, 0xA4, 0x02, 0x83, 0x01}, "00 22 41 a4 02 83 01"},
        {{0x00, 0x2A, 0x9E, 0x9A, 0x02, 0x31, 0x32}, "00 2a 9e 9a 02 31 32"},
        {{0x00, 0x2B, 0x00, 0x00, 0x02, 0x31, 0x32}, "00 2b 00 00 02 31 32"},
        {{0x00, 0xC0, 0x00, 0x00, 0x02}, "00 c0 00 00 02"},
        {{0x00, 0xC4, 0x00, 0x00, 0x02, 0x31, 0x32}, "00 c4 00 00 02 31 32"},
        {{0x00, 0xB0, 0x00, 0x00, 0x02, 0x31, 0x32}, "00 b0 00 00 02 31 32"},
    };
    for (const auto& [command, logged] : rows) {
        EXPECT_EQ(commandForLog(command), logged);
        EXPECT_EQ(sentBytesLogLine(command, false),
                  "APDU command (" + std::to_string(command.size()) + " bytes): " + logged);
        // Whatever goes with a control code, only its length is logged.
        EXPECT_EQ(sentBytesLogLine(command, true), "Control data: " + std::to_string(command.size()) + " bytes");
    }
    EXPECT_EQ(sentBytesLogLine({}, false), "APDU command (0 bytes): <null>");
}

// Pages send the function numbers they always sent; each system's PC/SC
// library expects its own formula.
TEST(ApduTest, ControlCodesUseTheSystemsFormula) {
    EXPECT_EQ(PcscBackend::controlCode(3400), platform::kWindows ? 0x310000u | (3400u << 2) : 0x42000D48u);
}

class IdleAccessTest : public ::testing::Test {
protected:
    test_support::TempDir dir;
    TovLog log{LOG_TRACE, TovLog::File, false};
    TovChipDefaultAccess card;
    void SetUp() override {
        log.setLogFile("", dir.path, "card.log");
        log.open();
    }
    std::string logText() const { return test_support::fileContents(dir.path + "/card.log"); }
};

TEST_F(IdleAccessTest, UnknownInterfacesAreRefusedQuietly) {
    for (std::int32_t type : {0, 4, 9, -1}) {
        EXPECT_EQ(card.connect(log, type, "R", 2, 3), ERR_UNKNOWN_INTERFACE);
        EXPECT_EQ(card.interfaceType(), type);
    }
    EXPECT_EQ(logText(), "");
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), ERR_UNKNOWN_INTERFACE);
}

TEST_F(IdleAccessTest, CtapiWithoutTerminalsFailsWithOneLine) {
    test_support::ScopedEnv windir("windir", dir.path); // no HBCIKRNL.INI there
    EXPECT_EQ(card.connect(log, INTERFACE_CTAPI, "R", 2, 3), ERR_NO_READER);
    EXPECT_FALSE(card.isConnected());
    EXPECT_NE(logText().find(" ERROR   CTAPI reader list is emtpy on connect to R (return code 992301"),
              std::string::npos);
    // Nothing was opened, so there is nothing to fail at.
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), 0);
    EXPECT_EQ(card.interfaceType(), INTERFACE_UNDEFINED);
    std::uint32_t state = 0;
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_CTAPI, "R", state), ERR_UNKNOWN_INTERFACE);
}

TEST_F(IdleAccessTest, IdleOperations) {
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), ERR_UNKNOWN_INTERFACE);
    EXPECT_EQ(card.close(log), 0);
    EXPECT_FALSE(card.isConnected());
    EXPECT_EQ(card.isCardRemoved(log), ERR_NOT_CONNECTED);
    EXPECT_EQ(card.beginTransaction(), ERR_NOT_CONNECTED);
    EXPECT_EQ(card.endTransaction(SCARD_LEAVE_CARD), 0);
    EXPECT_FALSE(card.atrOnlyTd1());
    EXPECT_EQ(logText(), "");

    Bytes answer(16);
    std::uint32_t length = 16;
    EXPECT_EQ(card.executeDirect(log, Bytes{0x00, 0xB0, 0x00, 0x00}, answer, length), ERR_UNKNOWN_INTERFACE);
    EXPECT_EQ(card.executeControl(log, {}, answer, length, 1, false), ERR_UNKNOWN_INTERFACE);
    length = 16;
    EXPECT_EQ(card.executeControl(log, Bytes{0x31, 0x32, 0x33}, answer, length, 1, true), ERR_UNKNOWN_INTERFACE);
    length = 16;
    EXPECT_EQ(card.executeDirect(log, Bytes{0x34, 0x35, 0x36, 0x37}, answer, length, 0x42000D48),
              ERR_UNKNOWN_INTERFACE);
    const std::string text = logText();
    EXPECT_NE(text.find("APDU command (4 bytes): 00 b0 00 00"), std::string::npos);
    EXPECT_NE(text.find("Interface not supported by executeDirect () (return code 992308: "), std::string::npos);
    EXPECT_NE(text.find("Control data: 0 bytes"), std::string::npos);
    EXPECT_NE(text.find("Control data: 3 bytes"), std::string::npos);
    EXPECT_NE(text.find("Control data: 4 bytes"), std::string::npos);
    EXPECT_EQ(text.find("31 32 33"), std::string::npos);
    EXPECT_EQ(text.find("34 35 36 37"), std::string::npos);
    EXPECT_NE(text.find("Interface not supported by executeControl ()"), std::string::npos);
}

TEST_F(IdleAccessTest, HexCommandsAreCheckedBeforeAnyExchange) {
    Bytes answer(16);
    std::uint32_t length = 16;
    EXPECT_EQ(card.executeHex(log, "00A40400", answer, length), ERR_INTERNAL);
    std::string tooLong;
    for (int i = 0; i < 302; ++i) tooLong += "00 ";
    EXPECT_EQ(card.executeHex(log, tooLong, answer, length), ERR_BUFFER_SIZE);
    EXPECT_EQ(card.lastResult(), ERR_BUFFER_SIZE);
    EXPECT_EQ(logText(), "");
}

// A remote PC/SC server whose card gives the scripted transmit answers and
// whose reader answers every control request with nothing; its card reads
// as gone once `gone` is set. It stands in for vexa-rpcscd because vpcd has
// no reader control and can give no empty answer with the card still there.
class ScriptedCardServer {
public:
    std::atomic<bool> gone = false;

    explicit ScriptedCardServer(std::deque<Bytes> transmitAnswers) : answers(std::move(transmitAnswers)) {
        listener.serve(1, [this](platform::Socket& peer) {
            for (std::string line; !(line = testing::LoopbackListener::readLine(peer)).empty();)
                if (!testing::LoopbackListener::sendAll(peer, answer(line) + "\n")) return;
        });
    }
    std::string address() const { return listener.text(); }
    std::string reader() const { return address() + ":R"; }

private:
    std::string answer(const std::string& line) {
        wire::Reader request;
        request.parseLine(line);
        const auto op = static_cast<std::uint8_t>(request.operation().value_or(0));
        wire::Writer out(op);
        out.putInt(wire::TAG_RESULT, 0);
        if (op == wire::OP_ESTABLISH_CONTEXT) out.putHandle(wire::TAG_CONTEXT, 7);
        if (op == wire::OP_CONNECT) out.putHandle(wire::TAG_CARD, 9).putInt(wire::TAG_PROTOCOL, SCARD_PROTOCOL_T1);
        if (op == wire::OP_STATUS) out.putInt(wire::TAG_STATE, gone ? wire::kCardStateAbsent : 0x20);
        if (op == wire::OP_CONTROL) out.putBytes(wire::TAG_OUTPUT, Bytes{});
        if (op == wire::OP_TRANSMIT) {
            out.putBytes(wire::TAG_OUTPUT, answers.empty() ? Bytes{} : answers.front());
            if (!answers.empty()) answers.pop_front();
        }
        return std::string(out.line().view());
    }

    std::deque<Bytes> answers;
    testing::LoopbackListener listener; // last: its thread stops first
};

TEST_F(IdleAccessTest, ACardAnswerNeedsAStatusWordAReaderAnswerDoesNot) {
    ScriptedCardServer server({{0x90, 0x00}, {}, {0x6A}, {0x61}});
    card.setRemoteServers(RemoteServers(server.address()));
    ASSERT_EQ(card.connect(log, INTERFACE_REMOTE_PCSC, server.reader(), SCARD_SHARE_SHARED, 3), 0);
    Bytes answer(16);
    std::uint32_t length = 16;
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x00};
    EXPECT_EQ(card.executeDirect(log, read, answer, length), 0);
    EXPECT_EQ(length, 2u);
    // No status word, the card still there: the link failed.
    length = 16;
    EXPECT_EQ(card.executeDirect(log, read, answer, length), pcsc::code(SCARD_F_COMM_ERROR));
    EXPECT_EQ(card.lastResult(), pcsc::code(SCARD_F_COMM_ERROR));
    length = 16;
    EXPECT_EQ(card.executeWithStatus(log, read, answer, length), pcsc::code(SCARD_F_COMM_ERROR));
    EXPECT_NE(logText().find(" ERROR   Return code 0x80100013 from remote PC/SC execute: answer without status word"),
              std::string::npos);
    // The reader answers controls with nothing, and that is their success,
    // with a control code of a request as well.
    length = 16;
    EXPECT_EQ(card.executeControl(log, {}, answer, length, 3400, false), 0);
    EXPECT_EQ(length, 0u);
    length = 16;
    EXPECT_EQ(card.executeWithStatus(log, read, answer, length, 0x42000D48), 0);
    // The card gone: that is what the failed exchange says.
    server.gone = true;
    length = 16;
    EXPECT_EQ(card.executeDirect(log, read, answer, length), pcsc::code(SCARD_W_REMOVED_CARD));
    EXPECT_NE(logText().find(" ERROR   Return code 0x80100069 from remote PC/SC execute: card removed mid-command"),
              std::string::npos);
    EXPECT_EQ(card.disconnect(log, SCARD_LEAVE_CARD), 0);
}

// Each back-end call's failure gets the line it always had, and only the
// failures that are answers go unlogged.
TEST(CardAccessFailureLineTest, EachCallKeepsItsLine) {
    using Step = TovChipDefaultAccess::Step;
    struct Row {
        Step step;
        CallError error;
        std::string reader;
        std::int32_t level; // LOG_OFF: no line
        std::string text;   // before the code's suffix
    };
    const std::string remote = "127.0.0.1:35965:Reader 0";
    const std::vector<Row> rows = {
        {Step::connect,
         {pcsc::code(SCARD_E_NO_SERVICE), "SCardEstablishContext"},
         "R",
         LOG_ERROR,
         "SCardEstablishContext () unsuccessful"},
        {Step::connect,
         {pcsc::code(SCARD_E_NO_SMARTCARD), "SCardConnect"},
         "Reader 0",
         LOG_ERROR,
         "SCardConnect () to reader Reader 0 unsuccessful"},
        {Step::connect,
         {pcsc::code(SCARD_E_SHARING_VIOLATION), "SCardConnect"},
         "Reader 0",
         LOG_WARNING,
         "SCardConnect () to reader Reader 0 unsuccessful"},
        {Step::readAtr,
         {pcsc::code(SCARD_E_NO_SERVICE), "SCardEstablishContext"},
         "R",
         LOG_ERROR,
         "SCardEstablishContext () unsuccessful"},
        {Step::readAtr,
         {pcsc::code(SCARD_E_NO_READERS_AVAILABLE), "SCardGetStatusChange"},
         "R",
         LOG_ERROR,
         "SCardGetStatusChange () unsuccessful"},
        {Step::readerState, {pcsc::code(SCARD_E_NO_SERVICE), "SCardEstablishContext"}, "R", LOG_OFF, ""},
        {Step::readerState,
         {pcsc::code(SCARD_E_NO_READERS_AVAILABLE), "SCardGetStatusChange"},
         "R",
         LOG_ERROR,
         "SCardGetStatusChange () unsuccessful for PC/SC reader R"},
        {Step::connect,
         {ERR_REMOTE_NOT_CONNECTED, "rpcsc.useServer", "127.0.0.1:1"},
         "127.0.0.1:1:R",
         LOG_ERROR,
         "Cannot connect remote PC/SC server 127.0.0.1:1"},
        {Step::connect,
         {pcsc::code(SCARD_E_NO_SMARTCARD), "rpcsc.connect"},
         remote,
         LOG_ERROR,
         "rpcsc.connect () to reader " + remote + " unsuccessful"},
        {Step::connect,
         {pcsc::code(SCARD_E_SHARING_VIOLATION), "rpcsc.connect"},
         remote,
         LOG_WARNING,
         "rpcsc.connect () to reader " + remote + " unsuccessful"},
        {Step::readAtr,
         {ERR_REMOTE_BAD_ANSWER, "rpcsc.getStatusChange"},
         remote,
         LOG_ERROR,
         "rpcsc.getStatusChange () unsuccessful"},
        {Step::readerState,
         {ERR_REMOTE_BAD_ADDRESS, "rpcsc.getStatusChange"},
         remote,
         LOG_ERROR,
         "rpcsc.getStatusChange () unsuccessful for PC/SC reader " + remote},
        {Step::connect,
         {ERR_NO_READER, "ctapi.listReaders"},
         "T",
         LOG_ERROR,
         "CTAPI reader list is emtpy on connect to T"},
        {Step::connect,
         {ERR_NO_READER, "ctapi.findReader"},
         "T",
         LOG_ERROR,
         "CTAPI reader not found in reader list: T"},
        {Step::connect, {-8, "ctapi.readerInit"}, "T", LOG_ERROR, "ctapi.readerInit () unsuccessful"},
        {Step::connect,
         {0x6982, "ctapi.readerConnect"},
         "T",
         LOG_ERROR,
         "ctapi.readerConnect () to reader T unsuccessful"},
        // A page's reader name is written as it is, never read as a pattern.
        {Step::connect,
         {ERR_REMOTE_BAD_ADDRESS, "rpcsc.connect", "1.2.3.4:5"},
         "{detail}",
         LOG_ERROR,
         "rpcsc.connect () to reader {detail} unsuccessful"},
        {Step::connect, {0x6200, "ctapi.readerConnect"}, "T", LOG_OFF, ""}, // no card presented
        {Step::connect, {0x64A1, "ctapi.readerConnect"}, "T", LOG_OFF, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error.call() + " " + std::to_string(row.error.code()));
        const auto line = TovChipDefaultAccess::failureLine(row.step, row.error, row.reader);
        if (row.level == LOG_OFF) {
            EXPECT_FALSE(line.has_value());
            continue;
        }
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(line->level, row.level);
        EXPECT_TRUE(line->text.starts_with(row.text + " (return code " + std::to_string(row.error.code()) + ": "))
            << line->text;
    }
}

// The card layer's and the reader layer's halves of the interface table
// describe the same types in the same order, and the configuration names
// reach exactly the rows they stand for.
TEST(InterfaceTableTest, BothHalvesAgreeAndNamesReachTheirRows) {
    const auto cards = cardInterfaces();
    const auto readers = readerInterfaces();
    ASSERT_EQ(cards.size(), readers.size());
    const auto names = kInterfaceNames.pairs();
    ASSERT_EQ(names.size(), cards.size() + 2);
    EXPECT_EQ(names.front().name, "UNDEFINED");
    EXPECT_EQ(names.back().name, "ALL");
    for (std::size_t i = 0; i < cards.size(); ++i) {
        SCOPED_TRACE(std::string(cards[i].name));
        EXPECT_EQ(readers[i].type, cards[i].type);
        EXPECT_EQ(names[i + 1].name, cards[i].name);
        EXPECT_EQ(names[i + 1].value, cards[i].type);
        EXPECT_TRUE(cards[i].makeBackend != nullptr && readers[i].list != nullptr && readers[i].lookAtCard != nullptr);
        EXPECT_EQ(readers[i].makeStatusSource == nullptr, !readers[i].noEvents.empty());
        EXPECT_EQ(cardInterface(cards[i].type), &cards[i]);
        EXPECT_EQ(configuredInterfaces(cards[i].type), std::vector{&readers[i]});
    }
    EXPECT_EQ(configuredInterfaces(names.back().value).size(), readers.size()); // ALL
    for (std::int32_t type : {0, 9, -1}) {
        EXPECT_EQ(cardInterface(type), nullptr);
        EXPECT_TRUE(configuredInterfaces(type).empty());
        EXPECT_FALSE(choosableAtRunTime(type));
    }
}

TEST(CardErrorTest, ConnectionSuffixUsesSignedCodesAndTheRemoteTable) {
    EXPECT_EQ(connectionErrorSuffix(0), "");
    EXPECT_EQ(connectionErrorSuffix(992402), " (return code 992402: Server ist nicht verbunden)");
    EXPECT_TRUE(
        connectionErrorSuffix(pcsc::code(SCARD_E_SHARING_VIOLATION)).starts_with(" (return code -2146435061: "));
}

} // namespace
} // namespace vexa
