#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <tuple>

#include "core/setting_tables.h"
#include "core/site_address.h"
#include "platform/system.h"
#include "plugin_environment.h"
#include "support/cipher.h"
#include "support/text.h"
#include "support/tov_conf.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace vexa;
using vexa::testing::PluginEnvironment;
using vexa::testing::ScriptedPlugin;
using vexa::testing::ScriptedUser;

namespace {

class SiteAuthorisationTest : public ::testing::Test {
protected:
    // Stores a user list the way the plug-in does.
    void storeUserList(const std::string& list) {
        std::string cipher;
        ASSERT_TRUE(encipherText(list, kSitesKey, cipher));
        env.writeFile(env.meridan() / "vexa_sites.conf", "ALLOWED_URLS=" + cipher + "\n\n");
    }
    // The stored list, "" when there is no file.
    std::string storedOrNothing() { return std::filesystem::exists(sitesFile()) ? storedUserList() : std::string(); }
    std::filesystem::path sitesFile() const { return env.meridan() / "vexa_sites.conf"; }
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
    std::int32_t openAs(const std::string& address, bool answer, int* questions = nullptr,
                        const std::string& origin = {}) {
        ScriptedPlugin p(address, answer);
        p.setPage(address, answer, origin);
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
    // Query, fragment and user-info go before the cut, also when they hold a
    // "/" or a "|".
    EXPECT_EQ(cutAddress("https://evil.example/?a|https:/"), "https://evil.example");
    EXPECT_EQ(cutAddress("https://h.example/a/b?x=/y#z/w"), "https://h.example/a");
    EXPECT_EQ(cutAddress("https://h.example?x=/y"), "https://h.example");
    EXPECT_EQ(cutAddress("https://h.example#/frag/x"), "https://h.example");
    EXPECT_EQ(cutAddress("https://u:p@h.example/a/x"), "https://h.example/a");
    EXPECT_EQ(cutAddress("https://evil.example#@bank.example/x"), "https://evil.example");
}

TEST_F(SiteAuthorisationTest, PageAddressIsNarrowedOrDroppedBySource) {
    using Source = PageIdentity::Source;
    for (Source source : {Source::Browser, Source::Typed}) {
        EXPECT_EQ(narrowPageText("https://bank.example/a?b=%C3%A4", source), "https://bank.example/a?b=%C3%A4");
        EXPECT_EQ(narrowPageText("https://b\xc3\xa4nk.example/\xc3\xbf", source), "https://b\xe4nk.example/\xff");
    }
    // From a browser, beyond U+00FF the whole address is lost, the euro sign
    // included, although Windows-1252 has it.
    EXPECT_EQ(narrowPageText("https://\xe4\xbe\x8b.example/", Source::Browser), "");
    EXPECT_EQ(narrowPageText("https://shop.example/\xe2\x82\xac", Source::Browser), "");
    EXPECT_EQ(narrowPageText("https://\xc4\x80.example/", Source::Browser), "");
    // Typed, each character is narrowed on its own, as in script strings.
    EXPECT_EQ(narrowPageText("https://\xe4\xbe\x8b.example/", Source::Typed), "https://?.example/");
    EXPECT_EQ(narrowPageText("https://shop.example/\xe2\x82\xac", Source::Typed), "https://shop.example/\x80");

    // Open judges the narrowed texts: a lost origin no longer admits an
    // inherited frame.
    storeUserList("https://bank.example|");
    for (const auto& [origin, source, admitted] :
         {std::tuple{"https://bank.example", Source::Browser, true},
          std::tuple{"https://bank.example\xe2\x82\xac", Source::Browser, false}}) {
        ScriptedUser user(false);
        ChipCardPlugin p(PageIdentity{"about:blank", "Chromium 1", origin, source}, user);
        p.loadConfiguration({});
        EXPECT_EQ(p.Open("page"), admitted ? 0 : 992211) << origin;
        EXPECT_EQ(user.questions, 0);
    }
}

namespace {

// What Open with an OK makes of a page: the site it asks about (nullptr:
// refused without a question) and the user's list afterwards.
struct OkRow {
    const char* url;
    const char* origin;
    const char* shown;
    const char* stored;
};

} // namespace

TEST_F(SiteAuthorisationTest, OkShowsAndStoresTheSiteOnly) {
    const OkRow rows[] = {
        {"https://bank.example/app/index.html?token=secret#top", "", "https://bank.example/app",
         "https://bank.example/app|"},
        {"https://bank.example/x.html", "https://bank.example", "https://bank.example", "https://bank.example|"},
        {"https://user:pw@bank.example/x.html", "", "https://bank.example", "https://bank.example|"},
        {"http://bank.example@127.0.0.1/app/x.html", "", "http://127.0.0.1/app", "http://127.0.0.1/app|"},
        {"https://evil.example/?a|https:/", "", "https://evil.example", "https://evil.example|"},
        {"https://evil.example/a|b/x.html", "", "https://evil.example/a|b", ""},
        {"https://evil.example/a\nb/x.html", "", "https://evil.example/a%0Ab", ""},
        {"https://evil.example/a\x7f/x.html", "", "https://evil.example/a%7F", ""},
        {"https://evil.example\\@bank.example/x.html", "", "https://evil.example\\@bank.example", ""},
        // Plain http only from the machine itself.
        {"http://shop.example/x.html", "", "http://shop.example", ""},
        {"HTTP://shop.example/x.html", "", "HTTP://shop.example", ""},
        {"http://127.0.0.1.evil.example/x.html", "", "http://127.0.0.1.evil.example", ""},
        {"http://127.0.0.256/x.html", "", "http://127.0.0.256", ""},
        {"http://127.0.0.1:8080/app/x.html", "", "http://127.0.0.1:8080/app", "http://127.0.0.1:8080/app|"},
        {"http://127.9.8.7/x.html", "", "http://127.9.8.7", "http://127.9.8.7|"},
        {"http://[::1]:9000/x.html", "", "http://[::1]:9000", "http://[::1]:9000|"},
        {"http://localhost/a/x.html", "", "http://localhost/a", "http://localhost/a|"},
        // No host: asked every time.
        {"file:///home/u/page.html", "", "file:///home/u", ""},
        {"https:/x.html", "", "https:", ""},
        // Frames without an address of their own: the origin they run with,
        // for this control only.
        {"about:blank", "https://bank.example", "https://bank.example", ""},
        {"about:srcdoc", "https://bank.example:8443", "https://bank.example:8443", ""},
        {"blob:https://bank.example/0b6f", "https://bank.example", "https://bank.example", ""},
        {"about:blank", "http://[::1]:9000", "http://[::1]:9000", ""},
        // Opaque: nobody to ask about.
        {"https://bank.example/x.html", "null", nullptr, ""},
        {"data:text/html,<object>", "null", nullptr, ""},
        {"data:text/html,<object>", "", nullptr, ""},
        {"about:blank", "", nullptr, ""},
        {"about:blank", "null", nullptr, ""},
        {"ABOUT:BLANK", "", nullptr, ""},
        {"about:blank", "https://bank.example/app", nullptr, ""},
        {"about:blank", "https://u@bank.example", nullptr, ""},
        {"about:blank", "https://bank.example:x", nullptr, ""},
        {"about:blank", "https://", nullptr, ""},
        {"about:blank", "bank.example", nullptr, ""},
    };
    for (const OkRow& row : rows) {
        SCOPED_TRACE(std::string(row.url) + " origin " + row.origin);
        std::filesystem::remove(sitesFile());
        ScriptedPlugin p;
        p.setPage(row.url, true, row.origin);
        p.start();
        const std::int32_t result = p.Open("page");
        if (row.shown) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(p.questions, 1);
            EXPECT_EQ(p.lastQuestion,
                      std::string("Darf von ") + row.shown + " auf Chipkartenleser zugegriffen werden?");
        } else {
            EXPECT_EQ(result, 992211);
            EXPECT_EQ(p.questions, 0);
        }
        EXPECT_EQ(storedOrNothing(), row.stored);
        // Stored means admitted from now on without a question.
        int questions = 0;
        EXPECT_EQ(openAs(row.url, false, &questions, row.origin), *row.stored ? 0 : 992211);
        EXPECT_EQ(questions, *row.stored || !row.shown ? 0 : 1);
    }
}

namespace {

// Whether a stored list text admits a page without a question.
struct ListRow {
    const char* list;
    const char* url;
    const char* origin;
    bool admitted;
};

} // namespace

TEST_F(SiteAuthorisationTest, StoredEntriesCountOnlyWhenOpenWouldStoreThem) {
    const ListRow rows[] = {
        // What one OK on "https://evil.example/?a|https:/" used to store.
        {"https://evil.example/?a|https:|", "https://bank.example/login", "", false},
        {"https:|", "https://bank.example/login", "", false},
        {"https://|", "https://bank.example/login", "", false},
        {"http:|", "http://127.0.0.1/x.html", "", false},
        {"https://evil.example/?a|", "https://evil.example/?a/x", "", false},
        {"https://bank.example#x|", "https://bank.example#x/y", "", false},
        {"https://u@bank.example|", "https://u@bank.example/x.html", "", false},
        {"http://shop.example|", "http://shop.example/x.html", "", false},
        {"http://127.0.0.1:8080|", "http://127.0.0.1:8080/x.html", "", true},
        {"https://bank.example|", "https://bank.example/x.html", "", true},
        {"https://bank.example|", "https://user@bank.example/x.html?q", "", true},
        // A frame that inherits its origin: only that bare origin admits it.
        {"https://bank.example|", "about:blank", "https://bank.example", true},
        {"https://bank.example|", "about:srcdoc", "https://bank.example", true},
        {"https://bank.example/|", "about:blank", "https://bank.example", false},
        {"https://bank.example/app|", "about:blank", "https://bank.example", false},
        {"https://bank.example|", "about:blank", "https://bank.example:8443", false},
        {"https://bank.example|", "about:blank", "https://bank.example.attacker.test", false},
        {"https://bank.example|", "about:blank", "", false},
        {"https://bank.example|", "https://bank.example/x.html", "null", false},
    };
    for (const ListRow& row : rows) {
        SCOPED_TRACE(std::string(row.list) + " / " + row.url + " origin " + row.origin);
        storeUserList(row.list);
        int questions = 0;
        EXPECT_EQ(openAs(row.url, false, &questions, row.origin), row.admitted ? 0 : 992211);
    }
}

TEST_F(SiteAuthorisationTest, BuiltInEntriesNeedAHostOnly) {
    const SiteList builtIn("https:|http://shop.example|https://bank.example/app|file://|", SiteList::Source::BuiltIn);
    EXPECT_EQ(builtIn.text(), "http://shop.example|https://bank.example/app|");
    EXPECT_TRUE(builtIn.admits(judgePage("http://shop.example/x.html", "")));
    EXPECT_TRUE(builtIn.admits(judgePage("https://bank.example/app/x.html", "")));
    EXPECT_FALSE(builtIn.admits(judgePage("https://other.example/x.html", "")));
    EXPECT_FALSE(builtIn.admits(judgePage("about:blank", "https://bank.example")));
    EXPECT_TRUE(SiteList("https://bank.example|", SiteList::Source::BuiltIn)
                    .admits(judgePage("about:blank", "https://bank.example")));
}

// Entries an older version stored and that no longer count stay where they
// were, unchanged: the user may still want to see or remove them.
TEST_F(SiteAuthorisationTest, UnhonouredEntriesAdmitNothingButStayInTheirPlace) {
    const std::string kept =
        "https://bank.example|https://evil.example/?a|https:|http://shop.example|https://u@x.example|"
        "https://f.example#x|file:///home/u|http://localhost|";
    storeUserList(
        "https://bank.example|https://evil.example/?a|https:||http://shop.example|https://u@x.example|"
        "https://f.example#x|file:///home/u|http://localhost|https://bank.example|tail");
    EXPECT_EQ(openAs("http://shop.example/x.html", false), 992211);
    EXPECT_EQ(openAs("https://new.example/x.html", true), 0);
    EXPECT_EQ(storedUserList(), kept + "https://new.example|");

    const SiteList list(kept, SiteList::Source::User);
    const char* const reasons[] = {"",
                                   "holds a user name, a query or a fragment",
                                   "names no host",
                                   "is plain http to another machine",
                                   "holds a user name, a query or a fragment",
                                   "holds a user name, a query or a fragment",
                                   "names no host",
                                   ""};
    ASSERT_EQ(list.entries().size(), std::size(reasons));
    for (std::size_t i = 0; i < std::size(reasons); ++i)
        EXPECT_EQ(whyNotHonoured(list.entries()[i]), reasons[i]) << list.entries()[i];
    EXPECT_EQ(whyNotHonoured("https://a.example/x\\y"), "holds a control character, a backslash or a \"|\"");
    // Removing one leaves the others as they were.
    SiteList edited = list;
    EXPECT_TRUE(edited.remove("http://shop.example"));
    EXPECT_FALSE(edited.remove("http://shop.example"));
    EXPECT_EQ(edited.text(),
              "https://bank.example|https://evil.example/?a|https:|https://u@x.example|"
              "https://f.example#x|file:///home/u|http://localhost|");
}
// Each plug-in object loads the list when it starts; an admission must not
// write back that old copy over what others admitted since.
TEST_F(SiteAuthorisationTest, ObjectsStartedTogetherKeepEachOthersAdmissions) {
    ScriptedPlugin first("https://a.example/x.html", true);
    ScriptedPlugin second("https://b.example/x.html", true);
    ScriptedPlugin third("https://a.example/y.html", false);
    first.start();
    second.start();
    third.start();
    EXPECT_EQ(first.Open("page"), 0);
    EXPECT_EQ(second.Open("page"), 0);
    EXPECT_EQ(storedUserList(), "https://a.example|https://b.example|");
    // A second object of a site just admitted is not asked again.
    EXPECT_EQ(third.Open("page"), 0);
    EXPECT_EQ(third.questions, 0);
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

// Open reads the list in one pass: with a quadratic read, 50,000 entries took
// minutes.
TEST_F(SiteAuthorisationTest, LongListsAreReadInLinearTime) {
    constexpr int kEntries = 50'000;
    std::string list;
    for (int i = 0; i < kEntries; ++i) list += "https://s" + std::to_string(i) + ".example/app|";
    storeUserList(list);
    const auto start = std::chrono::steady_clock::now();
    int questions = 0;
    EXPECT_EQ(openAs("https://s" + std::to_string(kEntries - 1) + ".example/app/x.html", false, &questions), 0);
    EXPECT_EQ(openAs("https://new.example/x.html", true), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(questions, 0);
    EXPECT_EQ(storedUserList(), list + "https://new.example|");
}

namespace {

std::string logOf(const std::filesystem::path& protocolDir) {
    return PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
}

} // namespace

// A link at the sites file is refused like one at the log: saving through it
// would create or overwrite whatever it points at.
TEST_F(SiteAuthorisationTest, SymbolicLinkAtTheSitesFileIsRefused) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    if (!env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"))
        GTEST_SKIP() << PluginEnvironment::kSettingsKeyTaken;
    const auto target = env.home / "elsewhere.conf";
    std::filesystem::create_directories(env.meridan());
    std::error_code error;
    std::filesystem::create_symlink(target, sitesFile(), error);
    if (error && platform::kWindows) GTEST_SKIP() << "This system makes no symbolic link here: " << error.message();
    ASSERT_FALSE(error) << error.message();
    int questions = 0;
    EXPECT_EQ(openAs("https://bank.example/x.html", true, &questions), 0);
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(sitesFile()));
    const std::string log = logOf(protocolDir);
    EXPECT_NE(log.find("ERROR   Not using file '" + sitesFile().string() + "': '" + sitesFile().string() +
                       "' is a symbolic link. \n"),
              std::string::npos)
        << log;
    // The yes holds for the page, and the log says that it was not kept.
    EXPECT_NE(log.find("ERROR   Cannot save the admitted site in '" + sitesFile().string() + "' (return code "),
              std::string::npos)
        << log;

    // Nor is a list behind a link read, or replaced.
    std::string cipher;
    ASSERT_TRUE(encipherText("https://bank.example|", kSitesKey, cipher));
    env.writeFile(target, "ALLOWED_URLS=" + cipher + "\n\n");
    EXPECT_EQ(openAs("https://bank.example/x.html", false), 992211);
    EXPECT_EQ(openAs("https://other.example/x.html", true), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(sitesFile()));
    EXPECT_EQ(PluginEnvironment::readFile(target), "ALLOWED_URLS=" + cipher + "\n\n");
}

// A file that cannot be read in full gives the whole entries it still holds,
// is logged with the reason, and is kept beside the list that replaces it.
TEST_F(SiteAuthorisationTest, DamagedSitesFileIsReportedAndKept) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    if (!env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"))
        GTEST_SKIP() << PluginEnvironment::kSettingsKeyTaken;
    std::string whole, wrongKey;
    ASSERT_TRUE(encipherText("https://a.example|https://b.example|", kSitesKey, whole));
    ASSERT_TRUE(encipherText("https://a.example|", "0123456789abcdef", wrongKey));
    const std::string damaged = sitesFile().string() + ".damaged";
    const struct {
        std::string content, reason, read;
    } kCases[] = {
        // Cut after the first entry, at an odd hex digit, in the middle of a block.
        {"ALLOWED_URLS=" + whole.substr(0, 77), "ALLOWED_URLS is cut short (77 hex digits); 1 entry could be read",
         "https://a.example|"},
        {"ALLOWED_URLS=" + whole.substr(0, 64), "ALLOWED_URLS is cut short (32 of 57 bytes); 1 entry could be read",
         "https://a.example|"},
        {"ALLOWED_UR", "it cannot be read past line 1; 0 entries could be read", ""},
        {"\x7f\x45\x4c\x46\x02\x01\n\x01", "it cannot be read past line 1; 0 entries could be read", ""},
        {"ALLOWED_URLS=" + whole + "\nJUNK\n", "it cannot be read past line 2; 2 entries could be read",
         "https://a.example|https://b.example|"},
        {"ALLOWED_URLS=NOT-HEX\n", "ALLOWED_URLS is not hex text; 0 entries could be read", ""},
        {"ALLOWED_URLS=" + wrongKey + "\n", "ALLOWED_URLS is ", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.content);
        env.writeFile(sitesFile(), c.content);
        const auto mode = std::filesystem::status(sitesFile()).permissions();
        std::filesystem::remove(protocolDir / "vexa_ie.log");
        EXPECT_EQ(openAs("https://a.example/x.html", false), c.read.empty() ? 992211 : 0);
        const std::string log = logOf(protocolDir);
        // Paths as the log writes them (a backslash doubled).
        EXPECT_NE(
            log.find("ERROR   The sites file '" + escapeForLog(sitesFile().string()) + "' is damaged: " + c.reason),
            std::string::npos)
            << log;
        // The next save keeps the damaged file as it was (a newer one replaces
        // the copy of an older one), with the file's own mode.
        EXPECT_EQ(openAs("https://new.example/x.html", true), 0);
        EXPECT_EQ(PluginEnvironment::readFile(damaged), c.content);
        EXPECT_NE(logOf(protocolDir).find("WARNING Kept the damaged sites file as '" + escapeForLog(damaged) + "'"),
                  std::string::npos);
        EXPECT_EQ(storedUserList(), c.read + "https://new.example|");
        if (!platform::kWindows) {
            EXPECT_EQ(std::filesystem::status(damaged).permissions(), mode);
        }
    }
    // A whole file is neither reported nor copied again.
    std::filesystem::remove(damaged);
    std::filesystem::remove(protocolDir / "vexa_ie.log");
    EXPECT_EQ(openAs("https://other.example/x.html", true), 0);
    EXPECT_FALSE(std::filesystem::exists(damaged));
    EXPECT_EQ(logOf(protocolDir).find("damaged"), std::string::npos);
}

#ifndef _WIN32
// A sites file that another user could have written (or could rewrite) is
// neither read nor written: the site is asked every time, and the log says
// which file and why.
TEST_F(SiteAuthorisationTest, SitesFileOthersCanChangeIsNeitherReadNorWritten) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    ASSERT_TRUE(env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"));
    storeUserList("https://planted.example|");
    const std::string before = PluginEnvironment::readFile(sitesFile());
    ASSERT_EQ(::chown(sitesFile().c_str(), 65534, 65534), 0);
    for (int round = 0; round < 2; ++round) {
        int questions = 0;
        EXPECT_EQ(openAs("https://planted.example/x.html", true, &questions), 0);
        EXPECT_EQ(questions, 1);
    }
    EXPECT_EQ(PluginEnvironment::readFile(sitesFile()), before);
    const std::string log = logOf(protocolDir);
    const std::string line = "ERROR   Not using file '" + sitesFile().string() + "': '" + sitesFile().string() +
                             "' is owned by another user (uid 65534). \n";
    // One line for each of the two objects.
    std::size_t lines = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
    EXPECT_EQ(lines, 2u) << log;

    // The folders that hold it count as well.
    ASSERT_EQ(::chown(sitesFile().c_str(), 0, 0), 0);
    for (const auto& folder : {env.meridan(), env.configHome}) {
        SCOPED_TRACE(folder.string());
        ASSERT_EQ(::chmod(folder.c_str(), 0770), 0);
        int questions = 0;
        EXPECT_EQ(openAs("https://planted.example/x.html", true, &questions), 0);
        EXPECT_EQ(questions, 1);
        EXPECT_EQ(PluginEnvironment::readFile(sitesFile()), before);
        ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    }
    EXPECT_EQ(openAs("https://planted.example/x.html", false), 0);
}
#else
TEST_F(SiteAuthorisationTest, SitesFileOthersCanChangeIsNeitherReadNorWritten) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif

#ifndef _WIN32
TEST_F(SiteAuthorisationTest, ProcessesAdmittingAtOnceKeepEveryEntry) {
    constexpr int kProcesses = 6;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            ScriptedPlugin p("https://s" + std::to_string(i) + ".example/x.html", true);
            p.start();
            char c;
            // Every process has loaded the list before any of them admits.
            (void)!::read(gate[0], &c, 1);
            _exit(p.Open("page") == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string list = storedUserList();
    for (int i = 0; i < kProcesses; ++i)
        EXPECT_NE(list.find("https://s" + std::to_string(i) + ".example|"), std::string::npos) << list;
}
#else
TEST_F(SiteAuthorisationTest, ProcessesAdmittingAtOnceKeepEveryEntry) {
    GTEST_SKIP() << "Runs child processes by fork with pipes between them; Windows has no fork";
}
#endif
