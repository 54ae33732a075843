#include "readers/scapi_management.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

class InventoryTest : public TestBedTest {
protected:
    CapturedLog log;
    TovChipDefaultAccess card;
    ScapiManagement inventory;

    std::size_t selects(testbed::CardControlClient& c) {
        const std::string received = c.require("received");
        std::size_t n = 0;
        for (auto pos = received.find(" 00A4040C"); pos != std::string::npos; pos = received.find(" 00A4040C", pos + 1))
            ++n;
        return n;
    }
};

TEST_F(InventoryTest, ListsThePcscReadersWithTheirLogLines) {
    ASSERT_EQ(inventory.init(log, INTERFACE_PCSC, "", true, true), 0);
    ASSERT_EQ(inventory.getReaderCount(), 3);
    EXPECT_EQ(inventory.getReaderName(0), kReader0);
    EXPECT_EQ(inventory.getReaderName(2), "\\\\?PnP?\\Notification");
    EXPECT_EQ(inventory.getReaderName(3), "");
    EXPECT_EQ(inventory.findReader(kReader1), 1);
    EXPECT_EQ(inventory.findReader("virtual pcd 00 01"), -1);
    EXPECT_TRUE(log.contains(" INFO    3 PC/SC reader(s) found"));
    EXPECT_TRUE(log.contains("Reader 1: PC/SC reader found: Virtual PCD 00 01"));
    // The PC/SC step runs once per instance.
    EXPECT_EQ(inventory.init(log, INTERFACE_PCSC, "", true, false), 0);
    EXPECT_EQ(inventory.getReaderCount(), 3);

    ScapiManagement none;
    EXPECT_EQ(none.init(log, INTERFACE_UNDEFINED, "", true, false), ERR_NO_READER);
    EXPECT_EQ(none.connectReader(log, 0, card), ERR_NO_INIT);
    EXPECT_EQ(inventory.connectReader(log, 7, card), ERR_INVALID_VALUE_GIVEN);
}

TEST_F(InventoryTest, SearchTriesThePreferredReaderFirstAndAgainInItsPlace) {
    ASSERT_EQ(inventory.init(log, INTERFACE_PCSC, "", true, false), 0);
    card0.require("clear");
    card1.require("clear");
    std::string reader = "old";
    EXPECT_EQ(inventory.searchCard(log, card, "A0 00 00 00 01", "", reader, kReader1), ERR_NO_CARD);
    EXPECT_EQ(reader, "");
    EXPECT_EQ(selects(card0), 1u);
    EXPECT_EQ(selects(card1), 2u);
    EXPECT_FALSE(card.isConnected());
}

TEST_F(InventoryTest, FoundCardStaysConnectedWithItsTransaction) {
    card1.require("aid A000000001");
    card1.require("aid A000000002");
    card0.require("aid A000000001"); // the first AID only
    ASSERT_EQ(inventory.init(log, INTERFACE_PCSC, "", true, false), 0);
    std::string reader;
    ASSERT_EQ(inventory.searchCard(log, card, "A0 00 00 00 01", "A0 00 00 00 02", reader, "unknown"), 0);
    EXPECT_EQ(reader, kReader1);
    EXPECT_EQ(card.readerName(), kReader1);
    EXPECT_TRUE(card.isConnected());
    EXPECT_EQ(card.beginTransaction(), 0); // already open: no second call
    EXPECT_EQ(card.endTransaction(SCARD_LEAVE_CARD), 0);
}

TEST_F(InventoryTest, ExclusiveHolderElsewhereGivesSharingViolation) {
    card1.require("aid A000000001");
    ASSERT_EQ(inventory.init(log, INTERFACE_PCSC, "", true, false), 0);
    TovChipDefaultAccess holder; // another connection holding reader 1
    ASSERT_EQ(holder.connect(log, INTERFACE_PCSC, kReader1, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1), 0);
    std::string reader;
    EXPECT_EQ(inventory.searchCard(log, card, "A0 00 00 00 01", "", reader, ""), pcsc::code(SCARD_E_SHARING_VIOLATION));
    holder.disconnect(log, SCARD_LEAVE_CARD);
}

// A card that gives no status word to the SELECT, pulled in the middle of it
// or still there, does not hold the application: the search goes on to the
// card that does, on every interface.
TEST_F(InventoryTest, SearchPassesOverACardThatGaveNoStatusWord) {
    InterfaceRows interfaces;
    card.setRemoteServers(interfaces.server);
    for (const BedInterface& row : interfaces.rows) {
        for (const char* fault : {"leave 20", "90"}) {
            SCOPED_TRACE(row.label + ", card 0 answering " + fault);
            card0.require("answer 00A4040C* " + std::string(fault));
            card0.require("aid A000000001");
            card1.require("aid A000000001");
            ScapiManagement search;
            ASSERT_EQ(search.init(log, row.type, interfaces.server, true, false), 0);
            std::string reader;
            EXPECT_EQ(search.searchCard(log, card, "A0 00 00 00 01", "", reader, ""), 0);
            EXPECT_EQ(reader, row.reader1);
            EXPECT_NE(card0.require("received").find("00A4040C05A000000001"), std::string::npos);
            card.disconnect(log, SCARD_RESET_CARD);
            for (auto* c : {&card0, &card1}) c->require("reset");
            card0.require("insert");
            ASSERT_TRUE(testbed::waitForCard(kReader0, true, kCardWait));
        }
    }
}

} // namespace
} // namespace vexa::testing
