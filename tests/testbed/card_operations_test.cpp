// Plug-in card operations that the shell test cannot observe from outside.
#include <PCSC/pcsclite.h>

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

} // namespace
} // namespace vexa::testing
