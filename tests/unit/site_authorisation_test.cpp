#include <gtest/gtest.h>

#include "core/setting_tables.h"
#include "plugin_environment.h"
#include "support/cipher.h"
#include "support/tov_conf.h"

using namespace vexa;
using vexa::testing::PluginEnvironment;
using vexa::testing::ScriptedPlugin;

namespace {

class SiteAuthorisationTest : public ::testing::Test {
protected:
    // Stores a user list the way the plug-in does.
    void storeUserList(const std::string& list) {
        std::string cipher;
        ASSERT_TRUE(encipherText(list, kSitesKey, cipher));
        env.writeFile(env.meridan() / "vexa_sites.conf", "ALLOWED_URLS=" + cipher + "\n\n");
    }
    std::string storedUserList() {
        TovConf conf;
        int line = 0;
        const ConfParameter row{"ALLOWED_URLS", ConfParameter::Text, "", 0, nullptr};
        EXPECT_EQ(conf.load("", "", (env.meridan() / "vexa_sites.conf").string(), std::span(&row, 1), line), 0);
        std::string cipher, list;
        conf.getText("ALLOWED_URLS", cipher);
        EXPECT_TRUE(decipherText(cipher, kSitesKey, list));
        return list;
    }
    std::int32_t openAs(const std::string& address, bool answer, int* questions = nullptr) {
        ScriptedPlugin p(address, answer);
        p.start();
        std::int32_t result = p.Open("page");
        if (questions) *questions = p.questions;
        return result;
    }

    PluginEnvironment env;
};

} // namespace

TEST_F(SiteAuthorisationTest, CutAddressKeepsSchemeAndHost) {
    EXPECT_EQ(cutAddress("https://bank.example/dir/page.html"), "https://bank.example/dir");
    EXPECT_EQ(cutAddress("https://bank.example/"), "https://bank.example");
    EXPECT_EQ(cutAddress("https://bank.example"), "https://bank.example");
    EXPECT_EQ(cutAddress("file:///home/u/page.html"), "file:///home/u");
    EXPECT_EQ(cutAddress("no-slash"), "no-slash");
    EXPECT_EQ(cutAddress(""), "");
}

TEST_F(SiteAuthorisationTest, OkIsRememberedAcrossObjectsAndReset) {
    ScriptedPlugin p("https://bank.example/app/index.html", true);
    p.start();
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.Open("id"), 0);
    EXPECT_EQ(p.questions, 1);
    EXPECT_EQ(p.lastCaption, "Frage");
    EXPECT_EQ(p.lastQuestion, "Darf von https://bank.example/app auf Chipkartenleser zugegriffen werden?");
    EXPECT_EQ(storedUserList(), "https://bank.example/app|");
    EXPECT_EQ(p.Open("again"), 0);
    EXPECT_EQ(p.questions, 1); // asked once per life

    p.resetPlugin();
    p.start();
    p.setPage("https://bank.example/app/other.html", false);
    EXPECT_EQ(p.Open("id"), 0);
    EXPECT_EQ(p.questions, 1);

    int questions = 0;
    EXPECT_EQ(openAs("https://bank.example/app/deeper/x.html", false, &questions), 0);
    EXPECT_EQ(questions, 0);
    // The file holds exactly the key line and an empty line.
    const std::string file = PluginEnvironment::readFile(env.meridan() / "vexa_sites.conf");
    EXPECT_TRUE(file.starts_with("ALLOWED_URLS=") && file.ends_with("\n\n") &&
                std::count(file.begin(), file.end(), '\n') == 2)
        << file;
}

TEST_F(SiteAuthorisationTest, RefusalLastsForTheLife) {
    ScriptedPlugin p("https://shop.example/x.html", false);
    p.start();
    EXPECT_EQ(p.Open("id"), 992211);
    EXPECT_EQ(p.GetLastErrorCode(), 992211);
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992211);
    p.setPage("https://shop.example/x.html", true);
    EXPECT_EQ(p.Open("id"), 992211);
    EXPECT_EQ(p.questions, 1);
    EXPECT_FALSE(std::filesystem::exists(env.meridan() / "vexa_sites.conf") && !storedUserList().empty());
}

TEST_F(SiteAuthorisationTest, EntriesMatchWholePathSegmentsOnly) {
    storeUserList("https://bank.example|https://shop.example/a|https://slash.example/|unterminated.example");
    int questions = 0;
    EXPECT_EQ(openAs("https://bank.example/", false), 0);
    EXPECT_EQ(openAs("https://bank.example/pay/x.html", false), 0);
    EXPECT_EQ(openAs("https://bank.example.attacker.test/x.html", false, &questions), 992211);
    EXPECT_EQ(questions, 1);
    EXPECT_EQ(openAs("https://bank.example:8443/x.html", false), 992211);
    EXPECT_EQ(openAs("https://shop.example/a/b.html", false), 0);
    EXPECT_EQ(openAs("https://shop.example/ab/c.html", false), 992211);
    EXPECT_EQ(openAs("https://shop.example/c.html", false), 992211);
    EXPECT_EQ(openAs("https://slash.example/any/x.html", false), 0);
    EXPECT_EQ(openAs("https://unterminated.example/x.html", false), 992211);
}

TEST_F(SiteAuthorisationTest, LongerEntryDoesNotAdmitItsParent) {
    storeUserList("https://s.example/a/b|");
    EXPECT_EQ(openAs("https://s.example/a/b.html", false), 992211);
}

TEST_F(SiteAuthorisationTest, UnknownAddressIsAskedEveryTimeAndNeverStored) {
    ScriptedPlugin p("", true);
    p.start();
    EXPECT_EQ(p.Open("id"), 0);
    EXPECT_EQ(p.lastQuestion, "Darf von  auf Chipkartenleser zugegriffen werden?");
    EXPECT_FALSE(std::filesystem::exists(env.meridan() / "vexa_sites.conf"));
    int questions = 0;
    EXPECT_EQ(openAs("", false, &questions), 992211);
    EXPECT_EQ(questions, 1);
    // An empty entry stored by an older version admits nothing.
    storeUserList("|");
    EXPECT_EQ(openAs("", false), 992211);
}

TEST_F(SiteAuthorisationTest, DamagedListIsTreatedAsEmptyAndReplacedOnOk) {
    env.writeFile(env.meridan() / "vexa_sites.conf", "ALLOWED_URLS=NOT-HEX\n");
    EXPECT_EQ(openAs("https://bank.example/x.html", false), 992211);
    EXPECT_EQ(openAs("https://bank.example/x.html", true), 0);
    EXPECT_EQ(storedUserList(), "https://bank.example|");
}
