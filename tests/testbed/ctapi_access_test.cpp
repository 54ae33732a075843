// The CT-API back end through the test bed's HBCIKRNL.INI: the inventory
// lists its terminals, the card connection drives the real driver.
#include "pcsc/pcsc_api.h"

#include <cstdlib>
#include <optional>

#include "cardaccess/card_error.h"
#include "readers/scapi_management.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

class CtapiAccessTest : public TestBedTest {
protected:
    CapturedLog log;
    TovChipDefaultAccess card;
    std::optional<std::string> oldWindir;

    void SetUp() override {
        TestBedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (const char* old = std::getenv("windir")) oldWindir = old;
        setenv("windir", testbedDir().c_str(), 1);
    }
    void TearDown() override {
        card.close(log);
        oldWindir ? setenv("windir", oldWindir->c_str(), 1) : unsetenv("windir");
        TestBedTest::TearDown();
    }
};

TEST_F(CtapiAccessTest, InventoryListsTheTerminalsAndSearchConnects) {
    card1.require("aid D2760000850101");
    ScapiManagement inventory;
    ASSERT_EQ(inventory.init(log, INTERFACE_CTAPI, "", true, false), 0);
    ASSERT_EQ(inventory.getReaderCount(), 2);
    EXPECT_EQ(inventory.getReaderName(0), "VEXA_CT_0");
    EXPECT_TRUE(log.contains(" INFO    Reader 1: CTAPI reader found: VEXA_CT_1"));
    std::string reader;
    ASSERT_EQ(inventory.searchCard(log, card, "D2 76 00 00 85 01 01", "", reader, ""), 0);
    EXPECT_EQ(reader, "VEXA_CT_1");
    EXPECT_TRUE(log.contains(" DEBUG   Card connected in CTAPI reader VEXA_CT_1"));
    EXPECT_TRUE(log.contains(" DEBUG   ATR: 3b 88 80 01 56 45 58 41 43 41 52 44 17"));
    // Card 0 did not know the application and was let go with an eject.
    EXPECT_TRUE(log.contains(" DEBUG   Disconnect CTAPI reader VEXA_CT_0"));

    std::uint8_t answer[300];
    std::uint32_t length = sizeof answer;
    EXPECT_EQ(card.executeHex(log, "80 EE 00 00 02 0A 0B", answer, length), 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(card.isCardRemoved(log), 0);
    EXPECT_EQ(card.getAtr(log, INTERFACE_CTAPI, "VEXA_CT_1").length(), 13u);
    length = sizeof answer;
    EXPECT_EQ(card.executeControl(log, {}, answer, length, 3400, false), ERR_UNKNOWN_INTERFACE);
    // The search's transaction locks nothing (the terminal is the
    // connection's alone), so it has no idle end.
    EXPECT_EQ(card.transactionDeadline(), std::nullopt);
    EXPECT_EQ(card.disconnect(log, SCARD_LEAVE_CARD), 0);
    EXPECT_FALSE(card.isConnected());
}

TEST_F(CtapiAccessTest, RemovedCardAndNoCard) {
    ASSERT_EQ(card.connect(log, INTERFACE_CTAPI, "VEXA_CT_0", 1, 3), 0);
    removeCard0();
    EXPECT_EQ(card.isCardRemoved(log), ERR_CARD_REMOVED);
    EXPECT_TRUE(log.contains(" DEBUG   Card has been removed"));
    std::uint8_t answer[16];
    std::uint32_t length = sizeof answer;
    EXPECT_EQ(card.executeHex(log, "80 EE 00 00", answer, length), -10);
    EXPECT_TRUE(log.contains(" ERROR   Return code 0xfffffff6 from CTAPI execute"));
    EXPECT_EQ(card.disconnect(log, SCARD_RESET_CARD), 0);

    // No card: the terminal says so, which is no fault worth an ERROR line.
    log.clearText();
    EXPECT_EQ(card.connect(log, INTERFACE_CTAPI, "VEXA_CT_0", 1, 3), 0x64A1);
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(card.connect(log, INTERFACE_CTAPI, "NO_SUCH_CT", 1, 3), ERR_NO_READER);
    EXPECT_TRUE(log.contains(" ERROR   CTAPI reader not found in reader list: NO_SUCH_CT"));
}

} // namespace
} // namespace vexa::testing
