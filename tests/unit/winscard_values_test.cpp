// The winscard stand-in's conversions between winscard's and pcsc-lite's
// numbers; pcsc-lite's own headers check the pcsc-lite side.
#include <gtest/gtest.h>

#include "pcsc/pcsc_api.h"

#include <cstdint>

#include "testbed/windows/pcsc_lite_values.h"

namespace vexa::winscard {
namespace {

static_assert(kLiteAbsent == SCARD_ABSENT && kLitePresent == SCARD_PRESENT && kLiteSwallowed == SCARD_SWALLOWED &&
              kLitePowered == SCARD_POWERED && kLiteNegotiable == SCARD_NEGOTIABLE && kLiteSpecific == SCARD_SPECIFIC);
static_assert(kProtocolT0 == SCARD_PROTOCOL_T0 && kProtocolT1 == SCARD_PROTOCOL_T1 &&
              kLiteProtocolRaw == SCARD_PROTOCOL_RAW);

TEST(WinscardValuesTest, CardStateIsTheFurthestStateReached) {
    const struct {
        std::uint32_t lite;
        std::uint32_t windows;
    } cases[] = {
        {0, 0},                                                        // nothing known
        {SCARD_UNKNOWN, 0},                                            //
        {SCARD_ABSENT, 1},                                             //
        {SCARD_PRESENT, 2},                                            //
        {SCARD_PRESENT | SCARD_SWALLOWED, 3},                          //
        {SCARD_PRESENT | SCARD_POWERED, 4},                            //
        {SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE, 5},         // what pcscd says before a protocol
        {SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC, 6},           // and after
        {SCARD_UNKNOWN | SCARD_ABSENT, 1},                             //
        {0x10000 | SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC, 6}, // bits above the states
    };
    for (const auto& c : cases) EXPECT_EQ(stateFromLite(c.lite), c.windows) << std::hex << c.lite;
}

TEST(WinscardValuesTest, RawProtocolMovesAndTheOthersStay) {
    EXPECT_EQ(protocolsToLite(kProtocolT0), SCARD_PROTOCOL_T0);
    EXPECT_EQ(protocolsToLite(kProtocolT0 | kProtocolT1), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocolsToLite(kWinProtocolRaw), SCARD_PROTOCOL_RAW);
    EXPECT_EQ(protocolsToLite(kWinProtocolRaw | kProtocolT1), SCARD_PROTOCOL_RAW | SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocolsToLite(kWinProtocolDefault), SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(protocolsToLite(0), 0u);

    EXPECT_EQ(protocolsFromLite(SCARD_PROTOCOL_T0), kProtocolT0);
    EXPECT_EQ(protocolsFromLite(SCARD_PROTOCOL_T1), kProtocolT1);
    EXPECT_EQ(protocolsFromLite(SCARD_PROTOCOL_RAW), kWinProtocolRaw);
    EXPECT_EQ(protocolsFromLite(0), 0u);
    for (const std::uint32_t p : {kProtocolT0, kProtocolT1, kWinProtocolRaw, kProtocolT0 | kWinProtocolRaw})
        EXPECT_EQ(protocolsFromLite(protocolsToLite(p)), p) << std::hex << p;
}

TEST(WinscardValuesTest, WindowsControlCodesGoAsFunctionNumbers) {
    const struct {
        std::uint32_t windows;
        std::uint32_t code;
        bool raw;
    } cases[] = {
        {0x310000 | (3400 << 2), 3400, false},                  // CM_IOCTL_GET_FEATURE_REQUEST
        {0x310000 | (1 << 2), 1, false},                        //
        {0x310000 | (0xfff << 2), 0xfff, false},                // the highest function number
        {0x310000, 0, false},                                   //
        {SCARD_CTL_CODE(3400), SCARD_CTL_CODE(3400), true},     // pcsc-lite's form, e.g. a reader's feature code
        {0x42330000 + 0x1234, 0x42330000 + 0x1234, true},       //
        {0x310001 | (3400 << 2), 0x310001 | (3400 << 2), true}, // another method
        {0x314000 | (3400 << 2), 0x314000 | (3400 << 2), true}, // another access
        {0x320000 | (3400 << 2), 0x320000 | (3400 << 2), true}, // another device type
        {0, 0, true},
    };
    for (const auto& c : cases) {
        const LiteControl lite = controlToLite(c.windows);
        EXPECT_EQ(lite.code, c.code) << std::hex << c.windows;
        EXPECT_EQ(lite.raw, c.raw) << std::hex << c.windows;
    }
}

} // namespace
} // namespace vexa::winscard
