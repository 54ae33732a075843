// Plug-in card operations that the shell test cannot observe from outside.
#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "core/chip_card_plugin.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

class CardOperationsTest : public AdmittedPluginTest {
protected:
    // True when another connection could take the card exclusively.
    bool cardIsFree() {
        TovChipDefaultAccess other;
        const bool free = other.connect(log, INTERFACE_PCSC, kReader0, SCARD_SHARE_EXCLUSIVE, 3) == 0;
        other.close(log);
        return free;
    }
};

TEST_F(CardOperationsTest, ResetReleasesTheCard) {
    ASSERT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_EXCLUSIVE, 3, 0), 0);
    EXPECT_FALSE(cardIsFree());
    EXPECT_EQ(plugin.resetPlugin(), 0);
    EXPECT_TRUE(cardIsFree());
    EXPECT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_SHARED, 3, 0), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.GetCardStatus(kReader0), -1);
}

TEST_F(CardOperationsTest, ConnectingAgainReleasesTheEarlierCard) {
    ASSERT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_EXCLUSIVE, 3, 0), 0);
    ASSERT_EQ(plugin.ConnectCardEx(kReader1, SCARD_SHARE_SHARED, 3, 0), 0);
    EXPECT_TRUE(cardIsFree());
    // The answer comes from the card of the reader named last.
    card1.require("answer 80CA000000 AB9000");
    EXPECT_EQ(plugin.SendToCard("80 CA 00 00 00"), "ab 90 00");
    EXPECT_EQ(plugin.DisConnectCardEx(SCARD_LEAVE_CARD), 0);
}

TEST_F(CardOperationsTest, GetCardAtrKeepsTheConnectedCardsAtr) {
    card1.require("atr 3B021450");
    reinsert(card1, kReader1);
    ASSERT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_SHARED, 3, 0), 0);
    EXPECT_EQ(plugin.GetCardATR(kReader1), "3B 02 14 50 ");
    EXPECT_EQ(plugin.GetCardATR(kReader0), "3B 88 80 01 56 45 58 41 43 41 52 44 17 ");
    EXPECT_EQ(plugin.GetCardATR(kReader1), "3B 02 14 50 ");
    EXPECT_EQ(plugin.GetCardATR("nowhere"), "");
    EXPECT_NE(plugin.GetLastErrorCode(), 0);
}

// A connect that cannot work under the interface type must not cost the
// card at hand its connection or its state.
TEST_F(CardOperationsTest, HopelessConnectLeavesTheConnectedCardAlone) {
    ASSERT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_SHARED, 3, 0), 0);
    ASSERT_EQ(plugin.SendToCard("80 EE 00 00 01 05"), "05 90 00");
    ASSERT_EQ(plugin.SetMode("INTERFACE", "ALL"), 0);
    EXPECT_EQ(plugin.ConnectCardEx(kReader1, SCARD_SHARE_SHARED, 3, 0), ERR_UNKNOWN_INTERFACE);
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_UNKNOWN_INTERFACE);
    // Still connected, and not reset: a reset would answer SCARD_W_RESET_CARD.
    EXPECT_EQ(plugin.SendToCard("80 EE 00 00 01 06"), "06 90 00");
    EXPECT_EQ(plugin.DisConnectCardEx(SCARD_LEAVE_CARD), 0);
}

// A typo in hex must never become another command: nothing reaches the card.
TEST_F(CardOperationsTest, MalformedHexReachesNoCard) {
    ASSERT_EQ(plugin.ConnectCardEx(kReader0, SCARD_SHARE_SHARED, 3, 0), 0);
    card0.require("clear");
    for (const char* apdu : {"9G A4 -1 00", "0 A4 04 00", "00  A4 04 00", " 00 A4", "80\tEE 00 00", "+80 EE 00 00"}) {
        EXPECT_EQ(plugin.SendToCard(apdu), "") << apdu;
        EXPECT_EQ(plugin.GetLastErrorCode(), 992200) << apdu;
        EXPECT_EQ(plugin.SendIOCTL(0x42000C00, 1, apdu), "") << apdu;
        EXPECT_EQ(plugin.GetLastErrorCode(), 992200) << apdu;
    }
    EXPECT_EQ(plugin.SearchCard("D2 76 -1", ""), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), 992200);
    EXPECT_EQ(card0.require("received"), "ok");
    // The card is still connected and takes well-formed input of either case.
    EXPECT_EQ(plugin.SendToCard("80 ee 00 00 02 0A 0b "), "0a 0b 90 00");
}

} // namespace
} // namespace vexa::testing
