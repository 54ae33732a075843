#include "core/chip_card_plugin.h"
#include "admitted_plugin.h"
#include "temp_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace vexa;
using vexa::testing::AdmittedPlugin;
namespace fs = std::filesystem;

namespace {

class ChipCardPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_support::makeUniqueDirectory(std::filesystem::temp_directory_path(), "vexa-plugin-");
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

} // namespace

TEST_F(ChipCardPluginTest, VersionSelectors) {
    ChipCardPlugin p;
    EXPECT_EQ(p.GetVersion(0), "2.0.0.2");
    EXPECT_EQ(p.GetVersion(1), "2");
    EXPECT_EQ(p.GetVersion(3), "0");
    EXPECT_EQ(p.GetVersion(4), "2");
    EXPECT_EQ(p.GetLastErrorCode(), 0);
    EXPECT_EQ(p.GetVersion(5), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992201);
    EXPECT_EQ(p.GetVersion(0), "2.0.0.2");
    EXPECT_EQ(p.GetLastErrorCode(), 992201); // a success leaves the code as it was
    EXPECT_EQ(p.GetVersion(-1), "");
}

TEST_F(ChipCardPluginTest, HexConversions) {
    ChipCardPlugin p;
    EXPECT_EQ(p.Hex2Str("41 42 43"), "ABC");
    EXPECT_EQ(p.Hex2Str("414243"), "ABC");
    EXPECT_EQ(p.Hex2Str("414"), "A\x04");
    EXPECT_EQ(p.Hex2Str("4G"), "\x04");
    EXPECT_EQ(p.Hex2Str("41 00 42"), "A");
    EXPECT_EQ(p.GetLastErrorCode(), 0);
    EXPECT_EQ(p.Hex2Str("GG"), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992200);
    EXPECT_EQ(p.Hex2Str("41"), "A");
    EXPECT_EQ(p.GetLastErrorCode(), 992200);
    EXPECT_EQ(p.Str2Hex(""), "");
    EXPECT_EQ(p.Str2Hex("A"), "41 ");
    EXPECT_EQ(p.Str2Hex("AB"), "41 42 ");
}

TEST_F(ChipCardPluginTest, ErrorTextsAreHtmlReady) {
    ChipCardPlugin p;
    EXPECT_EQ(p.GetErrorText(992204), "");
    EXPECT_EQ(p.GetErrorText(992209), "Verarbeitungsproblem bei der &Uuml;bermittlung");
    EXPECT_EQ(p.GetErrorText(-1), "Interner Fehler");
    EXPECT_EQ(p.GetErrorText(992402), "Server ist nicht verbunden");
    EXPECT_EQ(p.GetErrorText(12345), "");
    EXPECT_EQ(p.GetLastErrorCode(), 0);
}

TEST_F(ChipCardPluginTest, GuardRefusesLogReadingBeforeOpen) {
    ChipCardPlugin p;
    p.loadConfiguration({.clientText = "test"});
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992211);
}

TEST_F(ChipCardPluginTest, ReadLogFileReturnsTailFromLineStart) {
    AdmittedPlugin p(dir / "vexa_ie.log");
    p.log().write(LOG_INFO, "first line");
    p.log().write(LOG_INFO,
                  "Gr\xFC\xDF"
                  "e");
    std::string whole = p.ReadLogFile(0);
    EXPECT_EQ(p.lastErrorValue(), 0);
    EXPECT_NE(whole.find("first line \n"), std::string::npos);
    EXPECT_NE(whole.find("Gr&uuml;&szlig;e \n"), std::string::npos);

    std::string tail = p.ReadLogFile(20);
    EXPECT_EQ(tail.find("first line"), std::string::npos);
    EXPECT_LE(tail.size(), 20u);
    EXPECT_TRUE(tail.empty() || tail.front() == '2') << tail; // lines start with the year
    EXPECT_EQ(p.ReadLogFile(1 << 20), p.ReadLogFile(0));
}

// The log file is shared by every host process; a page reads back only the
// records of its own control (its event monitor's copy of the log and those
// written before a Reset included), escaped for showing as HTML.
TEST_F(ChipCardPluginTest, ReadLogFileShowsOnlyOwnRecordsEscapedForHtml) {
    const fs::path path = dir / "vexa_ie.log";
    AdmittedPlugin p(path);
    p.log().write(LOG_INFO, "before Reset");
    p.resetPlugin();
    p.admit(path);
    p.log().write(LOG_INFO,
                  "<img src=x onerror=\"alert('&')\"> Gr\xFC\xDF"
                  "e");
    std::ofstream(path, std::ios::app) << "2024-01-01 00:00:00 DEBUG   APDU command (4 bytes): 00 b0 00 00 \n";
    TovLog monitorCopy(p.log());
    ASSERT_EQ(monitorCopy.open(), 0);
    monitorCopy.write(LOG_DEBUG, "Event card ready in reader R");

    const std::string text = p.ReadLogFile(0);
    EXPECT_EQ(p.lastErrorValue(), 0);
    EXPECT_NE(text.find("before Reset \n"), std::string::npos) << text;
    EXPECT_NE(text.find("&lt;img src=x onerror=&quot;alert('&amp;')&quot;&gt; Gr&uuml;&szlig;e \n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Event card ready in reader R \n"), std::string::npos) << text;
    EXPECT_EQ(text.find("APDU command"), std::string::npos) << text;
    EXPECT_EQ(p.GetErrorText(992209), "Verarbeitungsproblem bei der &Uuml;bermittlung");
}

// Asking for the tail while logging is off must not leave an empty log
// behind; a missing file holds no record of ours.
TEST_F(ChipCardPluginTest, ReadLogFileCreatesNoLogFile) {
    AdmittedPlugin p(dir / "vexa_ie.log");
    p.log().setThreshold(LOG_OFF);
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.lastErrorValue(), 0);
    EXPECT_FALSE(fs::exists(dir / "vexa_ie.log"));
}

TEST_F(ChipCardPluginTest, UnreadableLogReportsItself) {
    AdmittedPlugin p(dir / "missing-dir" / "vexa_ie.log");
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.lastErrorValue(), 992203);
}

TEST_F(ChipCardPluginTest, ResetForgetsAdmissionAndConfiguration) {
    AdmittedPlugin p(dir / "vexa_ie.log");
    p.GetVersion(9);
    EXPECT_EQ(p.resetPlugin(), 0);
    EXPECT_EQ(p.lastErrorValue(), 0);
    EXPECT_FALSE(p.isInitialised());
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992211);
    p.loadConfiguration({.clientText = "Tab\there"});
    EXPECT_EQ(p.getClientName(), "Tab.here");
}
