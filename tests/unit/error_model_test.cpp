#include "core/error_model.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "cardaccess/system_error_text.h"
#include "pcsc/pcsc_error_text.h"
#include "platform/system.h"
#include "rpcsc/winsock_error.h"
#include "support/text.h"

using namespace vexa;

// Windows gives PC/SC texts from its message table, which Wine leaves empty.
static bool systemHasPcscTexts() {
    return !platform::kWindows || !pcsc::errorText(static_cast<std::int32_t>(0x8010000B)).empty();
}

TEST(ErrorModelTest, LookupOrderAcrossTables) {
    EXPECT_EQ(lookupErrorText(992200),
              "Angegebener String ist kein valider Hex-String (Zwei Byte Hexwert und ein Leerzeichen)");
    EXPECT_EQ(lookupErrorText(992204), "");
    EXPECT_EQ(lookupErrorText(992208), "");
    EXPECT_EQ(lookupErrorText(992209), "Verarbeitungsproblem bei der &Uuml;bermittlung");
    EXPECT_EQ(lookupErrorText(992210), lookupErrorText(992209));
    EXPECT_EQ(lookupErrorText(992211), "Nicht initialisiert");
    EXPECT_EQ(lookupErrorText(992212), "");
    EXPECT_EQ(lookupErrorText(-1), "Interner Fehler");
    EXPECT_EQ(lookupErrorText(992300), "Initialisierung nicht durchgefuehrt");
    EXPECT_EQ(lookupErrorText(992322), "Kein Jugendschutzmerkmal vorhanden (kontoungebundene GeldKarte)");
    EXPECT_EQ(lookupErrorText(992323), "");
    EXPECT_EQ(lookupErrorText(992400), "");
    EXPECT_EQ(lookupErrorText(992402), "Server ist nicht verbunden");
    EXPECT_EQ(lookupErrorText(992404), "");
    EXPECT_EQ(lookupErrorText(static_cast<std::int32_t>(0x8010000B)),
              systemErrorText(static_cast<std::int32_t>(0x8010000B)));
    if (systemHasPcscTexts()) {
        EXPECT_NE(lookupErrorText(static_cast<std::int32_t>(0x8010000B)), "");
    }
}

TEST(ErrorModelTest, CardTextFallsBackToSystemText) {
    EXPECT_EQ(cardErrorText(-1), "Interner Fehler");
    EXPECT_EQ(cardErrorText(992302), "Keine Karte gefunden");
    EXPECT_EQ(cardErrorText(992211), ""); // plug-in codes are not card-layer codes
    EXPECT_EQ(cardErrorText(10061), systemErrorText(10061));
}

TEST(TextTest, SystemTextsForPcscAndWinsockOnly) {
    if (!systemHasPcscTexts()) GTEST_SKIP() << "this system's message table has no PC/SC texts";
    EXPECT_FALSE(systemErrorText(static_cast<std::int32_t>(0x8010000B)).empty());
    EXPECT_FALSE(systemErrorText(static_cast<std::int32_t>(0x80100069)).empty());
    EXPECT_EQ(systemErrorText(static_cast<std::int32_t>(0x801000FE)), "");
    EXPECT_FALSE(systemErrorText(WSAECONNREFUSED).empty());
    EXPECT_FALSE(systemErrorText(WSAETIMEDOUT).empty());
    EXPECT_EQ(systemErrorText(12345), "");
    EXPECT_EQ(systemErrorText(0x6A82), "");
    EXPECT_EQ(returnCodeSuffix(0), "");
    EXPECT_EQ(returnCodeSuffix(10061), " (return code 10061: " + systemErrorText(10061) + ")");
    EXPECT_EQ(winsockErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(winsockErrorFromErrno(0), 0);
}

TEST(ErrorModelTest, CodeTextsForLogLines) {
    EXPECT_EQ(errorCodeText(0), "0");
    EXPECT_EQ(errorCodeText(992302), "992302");
    EXPECT_EQ(errorCodeText(0x6A82), "0x6a82");
    EXPECT_EQ(errorCodeText(0x9000), "0x9000");
    EXPECT_EQ(errorCodeText(0x1F), "0x001f");
    EXPECT_EQ(errorCodeText(static_cast<std::int32_t>(0x8010000B)), "0x8010000b");
    EXPECT_EQ(errorCodeText(992211), "0x000f23d3");
    EXPECT_EQ(errorCodeText(-1), "0xffffffff");
    EXPECT_EQ(errorCodeText(65536), "0x00010000");
}

TEST(ErrorModelTest, SuccessCodesAndSuffix) {
    for (std::int32_t ok : {0, 0x9000, 0x63C0, 0x63C2, 0x63CF}) {
        EXPECT_TRUE(isSuccessCode(ok)) << ok;
        EXPECT_EQ(cardErrorSuffix(ok), "");
    }
    for (std::int32_t bad : {0x63BF, 0x63D0, 0x6A82, -1, 992302}) EXPECT_FALSE(isSuccessCode(bad)) << bad;
    EXPECT_EQ(cardErrorSuffix(992302), " (return code 992302: Keine Karte gefunden)");
    EXPECT_EQ(cardErrorSuffix(-1), " (return code 0xffffffff: Interner Fehler)");
    EXPECT_EQ(cardErrorSuffix(0x6A82), " (return code 0x6a82: )");
}
