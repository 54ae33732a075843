#include "cardaccess/tov_chip_default_access.h"

#include "pcsc/pcsc_api.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "cardaccess/card_error.h"
#include "pcsc/card.h"
#include "support/text.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class CardAccessTest : public TestBedTest {
protected:
    CapturedLog log;
    TovChipDefaultAccess card;

    std::int32_t connect0(std::int32_t share = SCARD_SHARE_SHARED) {
        return card.connect(log, INTERFACE_PCSC, kReader0, share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    }
    Bytes exchange(const Bytes& command, std::int32_t& result, std::uint32_t capacity = 512) {
        Bytes answer(capacity);
        std::uint32_t length = capacity;
        result = card.executeDirect(log, command, answer, length);
        answer.resize(result == 0 ? length : 0);
        return answer;
    }
};

TEST_F(CardAccessTest, ConnectsExchangesAndDisconnectsWithTheirLogLines) {
    ASSERT_EQ(connect0(), 0);
    EXPECT_TRUE(card.isConnected());
    EXPECT_EQ(card.activeProtocol(), static_cast<std::uint32_t>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(card.readerName(), kReader0);

    std::int32_t result = -1;
    EXPECT_EQ(exchange({0x80, 0xEE, 0x00, 0x00, 0x02, 0xCA, 0xFE}, result), (Bytes{0xCA, 0xFE, 0x90, 0x00}));
    EXPECT_EQ(result, 0);

    EXPECT_EQ(card.disconnect(log, SCARD_LEAVE_CARD), 0);
    EXPECT_FALSE(card.isConnected());
    EXPECT_EQ(card.interfaceType(), INTERFACE_UNDEFINED);
    const std::string text = log.text();
    EXPECT_NE(text.find("Card connected in PC/SC reader Virtual PCD 00 00"), std::string::npos);
    EXPECT_NE(text.find("APDU command (7 bytes): 80 ee 00 00 02 ca fe"), std::string::npos);
    EXPECT_NE(text.find("APDU response (4 bytes): ca fe 90 00"), std::string::npos);
    EXPECT_NE(text.find("Disconnect PC/SC reader Virtual PCD 00 00 "), std::string::npos);
}

TEST_F(CardAccessTest, AnswersUpToTheCapacityAndReportsStatusWords) {
    ASSERT_EQ(connect0(), 0);
    std::int32_t result = -1;
    const Bytes longest = exchange({0x80, 0xE0, 0x01, 0x00}, result); // 256 data bytes and 90 00
    ASSERT_EQ(longest.size(), 258u);
    EXPECT_EQ(longest[255], 0xFF);
    // An answer larger than the buffer is the resource manager's error.
    exchange({0x80, 0xE0, 0x01, 0x00}, result, 100);
    EXPECT_NE(result, 0);
    EXPECT_TRUE(log.contains("Return code 0x80100008 from PC/SC execute"));

    card0.require("answer 00B0000000 6A82");
    card0.require("answer 00B0000100 63C2");
    Bytes answer(32);
    std::uint32_t length = 32;
    EXPECT_EQ(card.executeWithStatus(log, Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}, answer, length), 0x6A82);
    length = 32;
    EXPECT_EQ(card.executeWithStatus(log, Bytes{0x00, 0xB0, 0x00, 0x01, 0x00}, answer, length), 0);
    length = 32;
    EXPECT_EQ(card.executeHex(log, "00 B0 00 00 00", answer, length), 0x6A82);
    length = 32;
    EXPECT_EQ(card.executeHex(log, "00B0", answer, length), -1);
    std::string tooLong;
    for (int i = 0; i < 302; ++i) tooLong += "00 ";
    EXPECT_EQ(card.executeHex(log, tooLong, answer, length), ERR_BUFFER_SIZE);
}

TEST_F(CardAccessTest, SelectByAidSendsTheSelectWithoutAnswerData) {
    card0.require("aid D27600000102");
    ASSERT_EQ(connect0(), 0);
    card0.require("clear");
    EXPECT_EQ(card.selectByAid(log, "D2 76 00 00 01 02"), 0);
    EXPECT_EQ(card.selectByAid(log, "D2 76 00 00 01 03 "), 0x6A82);
    EXPECT_EQ(card0.require("received"), "ok 00A4040C06D27600000102 00A4040C06D27600000103");
}

TEST_F(CardAccessTest, PinCommandsReachTheCardButNotTheLog) {
    ASSERT_EQ(connect0(), 0);
    card0.require("answer 0020008108* 9000");
    card0.require("answer 002C000010* 9000");
    std::int32_t result = -1;
    exchange({0x00, 0x20, 0x00, 0x81, 0x08, 0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFF}, result);
    EXPECT_EQ(result, 0);
    Bytes resetRetry = {0x00, 0x2C, 0x00, 0x00, 0x10};
    for (std::uint8_t i = 0; i < 16; ++i) resetRetry.push_back(0x30 + i % 10);
    exchange(resetRetry, result);
    card0.require("answer 0021000006* 9000");
    exchange({0x00, 0x21, 0x00, 0x00, 0x06, 0x5F, 0x2E, 0x03, 0x35, 0x36, 0x37}, result);
    EXPECT_EQ(result, 0);
    // Reader control requests (a PIN for the reader's keypad) go out as their
    // length only, answered or not: vpcd has no reader control.
    Bytes answer(64);
    std::uint32_t length = 64;
    card.executeControl(log, Bytes{0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F}, answer, length, 3400, false);
    length = 64;
    card.executeDirect(log, Bytes{0x38, 0x39, 0x3A, 0x3B, 0x3C}, answer, length, 0x42000D48);
    const std::string text = log.text();
    EXPECT_NE(text.find("APDU command (13 bytes): 00 20 00 81 08 ** ** ** ** ** ** ** **"), std::string::npos);
    EXPECT_NE(text.find("APDU command (11 bytes): 00 21 00 00 06 ** ** ** ** ** **"), std::string::npos);
    EXPECT_NE(text.find("Control data: 8 bytes"), std::string::npos);
    EXPECT_NE(text.find("Control data: 5 bytes"), std::string::npos);
    for (const char* secret : {"31 32 33 34", "30 31 32", "35 36 37", "38 39 3a"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    EXPECT_NE(card0.require("received").find("002000810831323334FFFFFFFF"), std::string::npos);
}

TEST_F(CardAccessTest, StoredAtrAnswersOnlyForTheConnectedReader) {
    card1.require("atr 3B021450");
    reinsert(card1, kReader1);
    ASSERT_EQ(connect0(), 0);
    EXPECT_EQ(bytesToHex(card.getAtr(log, INTERFACE_PCSC, kReader0).bytes(), true),
              "3b 88 80 01 56 45 58 41 43 41 52 44 17");
    // Another reader's ATR is read from that reader and not stored.
    EXPECT_EQ(bytesToHex(card.getAtr(log, INTERFACE_PCSC, kReader1).bytes(), true), "3b 02 14 50");
    EXPECT_EQ(bytesToHex(card.getAtr(log, INTERFACE_PCSC, kReader0).bytes(), true),
              "3b 88 80 01 56 45 58 41 43 41 52 44 17");
    EXPECT_TRUE(card.atrOnlyTd1());
    EXPECT_EQ(card.lastResult(), 0);
    // Not even a reader's name: the read fails and the stored ATR stays.
    EXPECT_TRUE(card.getAtr(log, INTERFACE_PCSC, "No such reader").bytes().empty());
    EXPECT_NE(card.lastResult(), 0);
    EXPECT_TRUE(log.contains("SCardGetStatusChange () unsuccessful (return code "));
    EXPECT_TRUE(card.atrOnlyTd1());
    EXPECT_TRUE(card.getAtr(log, INTERFACE_CTAPI, kReader1).bytes().empty());
    EXPECT_EQ(card.lastResult(), ERR_UNKNOWN_INTERFACE);
}

TEST_F(CardAccessTest, SharingViolationIsAWarningWithTheSignedCode) {
    ExclusiveHolder holder(kReader0);
    ASSERT_TRUE(ExclusiveHolder::held(kReader0));
    EXPECT_EQ(connect0(), pcsc::code(SCARD_E_SHARING_VIOLATION));
    EXPECT_EQ(card.lastConnectCode(), pcsc::code(SCARD_E_SHARING_VIOLATION));
    EXPECT_FALSE(card.isConnected());
    EXPECT_EQ(card.interfaceType(), INTERFACE_PCSC); // kept after a failed connect
    EXPECT_TRUE(
        log.contains(" WARNING SCardConnect () to reader Virtual PCD 00 00 unsuccessful (return code -2146435061: "));
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), 0); // back to idle without a line
    EXPECT_EQ(card.interfaceType(), INTERFACE_UNDEFINED);
}

TEST_F(CardAccessTest, RemovedCardIsDetected) {
    ASSERT_EQ(connect0(), 0);
    EXPECT_EQ(card.isCardRemoved(log), 0);
    EXPECT_TRUE(log.contains("Check status for card removed on PC/SC reader Virtual PCD 00 00"));
    removeCard0();
    EXPECT_EQ(card.isCardRemoved(log), ERR_CARD_REMOVED);
    EXPECT_TRUE(log.contains(" DEBUG   Card has been removed"));
    std::uint32_t state = 0;
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_PCSC, kReader0, state), 0);
    EXPECT_TRUE(state & SCARD_STATE_EMPTY);
    EXPECT_TRUE(log.contains("for PC/SC reader Virtual PCD 00 00"));
    card.disconnect(log, SCARD_RESET_CARD);
    EXPECT_EQ(card.isCardRemoved(log), ERR_NOT_CONNECTED);
}

TEST_F(CardAccessTest, ReaderStatusWithoutConnection) {
    std::uint32_t state = 0;
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_PCSC, kReader1, state), 0);
    EXPECT_TRUE(state & SCARD_STATE_PRESENT);
    EXPECT_TRUE(log.contains("Status is 0x" + hexNumber(state, 8) + " for PC/SC reader Virtual PCD 00 01"));
    EXPECT_NE(card.getCardStatus(log, INTERFACE_PCSC, "No such reader", state), 0);
    EXPECT_TRUE(log.contains(" ERROR   SCardGetStatusChange () unsuccessful for PC/SC reader No such reader"));
    EXPECT_EQ(card.getCardStatus(log, INTERFACE_CTAPI, kReader1, state), ERR_UNKNOWN_INTERFACE);
}

TEST_F(CardAccessTest, TransactionsAreOpenedOnceAndEndedByDisconnect) {
    EXPECT_EQ(card.beginTransaction(), ERR_NOT_CONNECTED);
    ASSERT_EQ(connect0(), 0);
    TovChipDefaultAccess other;
    ASSERT_EQ(other.connect(log, INTERFACE_PCSC, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1), 0);
    EXPECT_EQ(card.endTransaction(SCARD_LEAVE_CARD), 0);
    EXPECT_EQ(card.beginTransaction(), 0);
    EXPECT_EQ(card.beginTransaction(), 0);
    // The other connection could not begin one now (pcsc-lite would block);
    // the disconnect must end the transaction for it.
    EXPECT_EQ(card.disconnect(log, SCARD_LEAVE_CARD), 0);
    EXPECT_EQ(other.beginTransaction(), 0);
    EXPECT_EQ(other.endTransaction(SCARD_LEAVE_CARD), 0);
}

// An idle transaction holds up every other program's calls on the card; it
// ends with a reset at its deadline, which each card call moves on.
TEST_F(CardAccessTest, AnIdleTransactionEndsWithAResetThatTheNextCardCallReports) {
    using Clock = TovChipDefaultAccess::Clock;
    ASSERT_EQ(connect0(), 0);
    EXPECT_EQ(card.transactionDeadline(), std::nullopt);
    const auto before = Clock::now();
    ASSERT_EQ(card.beginTransaction(), 0);
    ASSERT_TRUE(card.transactionDeadline().has_value());
    EXPECT_GE(*card.transactionDeadline(), before + pcsc::kIdleTransactionLimit);
    std::int32_t result = -1;
    exchange({0x80, 0xEE, 0x00, 0x00, 0x01, 0x05}, result);
    const auto deadline = *card.transactionDeadline();
    EXPECT_GE(deadline, before + pcsc::kIdleTransactionLimit); // moved by the call
    EXPECT_FALSE(card.endIdleTransaction(log, deadline - std::chrono::milliseconds(1)));
    EXPECT_FALSE(log.contains("ended with a card reset"));

    ASSERT_TRUE(card.endIdleTransaction(log, deadline));
    EXPECT_TRUE(
        log.contains(" INFO    Transaction on PC/SC reader Virtual PCD 00 00 without a card call for 5 s: "
                     "ended with a card reset"));
    EXPECT_EQ(card.transactionDeadline(), std::nullopt);
    EXPECT_FALSE(card.endIdleTransaction(log, deadline + std::chrono::hours(1)));
    // Another connection has the card at once, and the card was reset.
    TovChipDefaultAccess other;
    ASSERT_EQ(other.connect(log, INTERFACE_PCSC, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1), 0);
    EXPECT_EQ(other.beginTransaction(), 0);
    EXPECT_EQ(other.endTransaction(SCARD_LEAVE_CARD), 0);
    // Every kind of card call of the holder learns of the reset, once from
    // the connection and then from pcsc-lite until it connects again.
    EXPECT_EQ(exchange({0x80, 0xEE, 0x00, 0x00, 0x01, 0x05}, result), Bytes());
    EXPECT_EQ(result, pcsc::code(SCARD_W_RESET_CARD));
    EXPECT_TRUE(log.contains(" ERROR   Return code 0x80100068 from PC/SC execute"));
    EXPECT_EQ(card.beginTransaction(), pcsc::code(SCARD_W_RESET_CARD));
    EXPECT_EQ(card.isCardRemoved(log), pcsc::code(SCARD_W_RESET_CARD));
    EXPECT_EQ(card.disconnect(log, SCARD_LEAVE_CARD), 0);
    ASSERT_EQ(connect0(), 0);
    EXPECT_EQ(exchange({0x80, 0xEE, 0x00, 0x00, 0x01, 0x05}, result), (Bytes{0x05, 0x90, 0x00}));
}

TEST_F(CardAccessTest, AnEndedTransactionReportsTheResetToEndTransactionToo) {
    ASSERT_EQ(connect0(), 0);
    ASSERT_EQ(card.beginTransaction(), 0);
    ASSERT_TRUE(card.endIdleTransaction(log, *card.transactionDeadline()));
    EXPECT_EQ(card.endTransaction(SCARD_LEAVE_CARD), pcsc::code(SCARD_W_RESET_CARD));
    // A reconnect starts afresh.
    EXPECT_EQ(card.reconnect(log), 0);
    EXPECT_EQ(card.beginTransaction(), 0);
    EXPECT_EQ(card.endTransaction(SCARD_LEAVE_CARD), 0);
}

TEST_F(CardAccessTest, ReaderControlFailuresKeepTheReadersCode) {
    ASSERT_EQ(connect0(), 0);
    Bytes output(64);
    std::uint32_t length = 64;
    // Debian's vpcd offers no control function at all.
    const std::int32_t result = card.executeControl(log, {}, output, length, 3400, false);
    EXPECT_NE(result, 0);
    EXPECT_EQ(card.lastResult(), result);
    EXPECT_TRUE(log.contains(" ERROR   Return code " + errorCodeText(result) + " from PC/SC control"));
    length = 64;
    EXPECT_EQ(card.executeDirect(log, Bytes{0x01}, output, length, 0x42000000 + 3400), result);
    EXPECT_TRUE(card.isConnected());
}

TEST_F(CardAccessTest, SlowAndMuteCards) {
    ASSERT_EQ(connect0(), 0);
    std::int32_t result = -1;
    EXPECT_EQ(exchange({0x80, 0xE4, 0x01, 0x00}, result), (Bytes{0x90, 0x00})); // 256 ms late
    EXPECT_EQ(result, 0);
    // A card that falls silent and drops off: vpcd reports an empty answer,
    // which is the card's removal, not a success.
    card0.require("mute 100");
    EXPECT_EQ(exchange({0x80, 0xEE, 0x00, 0x00}, result), Bytes{});
    EXPECT_EQ(result, pcsc::code(SCARD_W_REMOVED_CARD));
    ASSERT_TRUE(testbed::waitForCard(kReader0, false, kCardWait));
    EXPECT_EQ(card.isCardRemoved(log), ERR_CARD_REMOVED);
}

// A card's answer ends with its status word; on every interface a shorter
// one fails the exchange: with the card pulled mid-command (vpcd then
// reports an empty answer) SCARD_W_REMOVED_CARD, with the card still there
// SCARD_F_COMM_ERROR. Two bytes keep their meaning.
TEST_F(CardAccessTest, AnAnswerWithoutStatusWordFailsOnEveryInterface) {
    InterfaceRows interfaces;
    card.setRemoteServers(interfaces.server);
    for (const BedInterface& row : interfaces.rows) {
        SCOPED_TRACE(row.label);
        card0.require("answer 80CB000000 90");
        card0.require("answer 80CC000000 leave 20");
        ASSERT_EQ(card.connect(log, row.type, row.reader0, SCARD_SHARE_SHARED, 3), 0);
        std::int32_t result = -1;
        EXPECT_EQ(exchange({0x80, 0xCB, 0x00, 0x00, 0x00}, result), Bytes{});
        EXPECT_EQ(result, pcsc::code(SCARD_F_COMM_ERROR));
        EXPECT_EQ(card.lastResult(), result);
        EXPECT_TRUE(card.isConnected());
        EXPECT_EQ(exchange({0x80, 0xEE, 0x00, 0x00}, result), (Bytes{0x90, 0x00}));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(exchange({0x80, 0xCC, 0x00, 0x00, 0x00}, result), Bytes{});
        EXPECT_EQ(result, pcsc::code(SCARD_W_REMOVED_CARD));
        EXPECT_TRUE(
            log.contains(" ERROR   Return code 0x80100013 from " + row.label + " execute: answer without status word"));
        EXPECT_TRUE(
            log.contains(" ERROR   Return code 0x80100069 from " + row.label + " execute: card removed mid-command"));
        card.disconnect(log, SCARD_RESET_CARD);
        card0.require("reset");
        card0.require("insert");
        ASSERT_TRUE(testbed::waitForCard(kReader0, true, kCardWait));
    }
}

// A card without ATR, or one that does not answer the reset, is no card to
// the reader: the connect fails and the failure is logged.
TEST_F(CardAccessTest, CardsWithoutAtrAreNotPresent) {
    for (const char* request : {"atr none", "mute 100"}) {
        card1.require("remove");
        ASSERT_TRUE(testbed::waitForCard(kReader1, false, kCardWait));
        card1.require(request);
        card1.require("insert nowait");
        EXPECT_FALSE(testbed::waitForCard(kReader1, true, std::chrono::milliseconds(1500))) << request;
        EXPECT_EQ(card.connect(log, INTERFACE_PCSC, kReader1, SCARD_SHARE_SHARED, 3), pcsc::code(SCARD_E_NO_SMARTCARD))
            << request;
        EXPECT_TRUE(log.contains(" ERROR   SCardConnect () to reader Virtual PCD 00 01 unsuccessful (return code "));
        // A card taken out and put back with its ATR is found again.
        card1.require("remove");
        card1.require("reset");
        ASSERT_TRUE(testbed::waitForCard(kReader1, false, kCardWait));
        card1.require("insert");
        ASSERT_TRUE(testbed::waitForCard(kReader1, true, kCardWait)) << request;
    }
}

TEST_F(CardAccessTest, ReconnectAndClose) {
    ASSERT_EQ(connect0(SCARD_SHARE_EXCLUSIVE), 0);
    EXPECT_EQ(card.reconnect(log), 0);
    EXPECT_TRUE(card.isConnected());
    EXPECT_TRUE(ExclusiveHolder::held(kReader0)); // the stored share mode
    EXPECT_EQ(card.close(log), 0);
    EXPECT_FALSE(card.isConnected());
    EXPECT_EQ(card.close(log), 0);
}

} // namespace
} // namespace vexa::testing
