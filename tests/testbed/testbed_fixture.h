#pragma once

#include <gtest/gtest.h>

#include "pcsc/pcsc_api.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cardaccess/interface_type.h"
#include "cardaccess/tov_chip_default_access.h"
#include "core/chip_card_plugin.h"
#include "support/tov_log.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"

namespace vexa::testing {

inline constexpr const char* kReader0 = "Virtual PCD 00 00";
inline constexpr const char* kReader1 = "Virtual PCD 00 01";
inline constexpr auto kCardWait = std::chrono::seconds(5); // pcscd polls every ~400 ms

// The running test bed's directory, named by VEXA_TESTBED_DIR (set by the
// test script), so that nobody's test run drives a test bed by chance. Read
// before main, so that every PC/SC call of the test reaches the bed's pcscd.
inline const std::string kTestbedDir = testbed::joinTestbed();
inline std::string testbedDir() {
    return kTestbedDir;
}

// A log written to a file of its own, read back by the test.
class CapturedLog : public TovLog {
public:
    explicit CapturedLog(std::int32_t level = LOG_TRACE) : TovLog(level, TovLog::File, false) {
        std::string pattern = (std::filesystem::temp_directory_path() / "vexa-log-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) ? pattern : "";
        setLogFile("", dir_, "test.log");
        open();
    }
    ~CapturedLog() override { std::filesystem::remove_all(dir_); }
    std::string text() const {
        std::ifstream in(dir_ + "/test.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    void clearText() const { std::filesystem::remove(dir_ + "/test.log"); }

private:
    std::string dir_;
};

// Stops a service of the test bed (its pid file's name: "pcscd" or
// "rpcscd") as an upgrade does, and starts it again; every context, card
// handle and connection its clients held is gone.
inline void restartTestbedService(const std::string& name) {
    std::ifstream in(testbedDir() + "/" + name + ".pid");
    pid_t pid = 0;
    ASSERT_TRUE(in >> pid) << "no " << name << ".pid in the test bed";
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) usleep(50000);
    ASSERT_NE(kill(pid, 0), 0) << name << " did not end";
    // With the bed's own ports, from its env file.
    const std::string command = "bash -c '. \"" + testbedDir() +
                                "/env\" && bash \"" VEXA_START_TESTBED "\" \"" VEXA_BUILD_DIR "\" >/dev/null 2>&1'";
    ASSERT_EQ(std::system(command.c_str()), 0) << "the test bed did not come back";
}

// Both virtual cards of the running test bed, reset to the default card and
// inserted before every test; any command a card did not expect fails it.
// Without a test bed the tests are skipped, unless VEXA_TESTBED_REQUIRED is
// set (as the test script does).
class TestBedTest : public ::testing::Test {
protected:
    testbed::CardControlClient card0{testbedDir() + "/card0.sock"};
    testbed::CardControlClient card1{testbedDir() + "/card1.sock"};

    void SetUp() override {
        if (testbedDir().empty() || !card0.request("status").starts_with("ok") ||
            !card1.request("status").starts_with("ok")) {
            if (std::getenv("VEXA_TESTBED_REQUIRED")) FAIL() << "no test bed in " << testbedDir();
            GTEST_SKIP() << "no test bed in " << testbedDir() << " (testbed/start_testbed.sh starts one)";
        }
        for (auto* card : {&card0, &card1}) {
            card->require("reset");
            card->require("insert");
        }
        ASSERT_TRUE(testbed::waitForCard(kReader0, true, kCardWait));
        ASSERT_TRUE(testbed::waitForCard(kReader1, true, kCardWait));
    }

    void TearDown() override {
        if (IsSkipped()) return;
        EXPECT_EQ(card0.request("failures"), "ok 0");
        EXPECT_EQ(card1.request("failures"), "ok 0");
    }

    // Takes the card out of reader 0 and waits until PC/SC has seen it.
    void removeCard0() {
        card0.require("remove");
        ASSERT_TRUE(testbed::waitForCard(kReader0, false, kCardWait));
    }
    // Takes a card out and puts it back, so the reader reads its new ATR.
    static void reinsert(testbed::CardControlClient& card, const char* reader) {
        card.require("remove");
        ASSERT_TRUE(testbed::waitForCard(reader, false, kCardWait));
        card.require("insert");
        ASSERT_TRUE(testbed::waitForCard(reader, true, kCardWait));
    }
};

// The bed's two readers as each interface type reaches them: PC/SC directly,
// through vexa-rpcscd, and as the CT-API terminals of the bed's HBCIKRNL.INI
// (found through windir, which an InterfaceRows sets while it lives).
struct BedInterface {
    std::int32_t type;
    std::string label; // the interface in log lines
    std::string reader0, reader1;
};
class InterfaceRows {
public:
    InterfaceRows() {
        if (const char* old = std::getenv("windir")) oldWindir_ = old;
        setenv("windir", testbedDir().c_str(), 1);
        std::ifstream in(testbedDir() + "/rpcscd.address");
        std::getline(in, server);
        rows = {{INTERFACE_PCSC, "PC/SC", kReader0, kReader1},
                {INTERFACE_REMOTE_PCSC, "remote PC/SC", server + ":" + kReader0, server + ":" + kReader1},
                {INTERFACE_CTAPI, "CTAPI", "VEXA_CT_0", "VEXA_CT_1"}};
    }
    ~InterfaceRows() { oldWindir_ ? setenv("windir", oldWindir_->c_str(), 1) : unsetenv("windir"); }
    InterfaceRows(const InterfaceRows&) = delete;
    InterfaceRows& operator=(const InterfaceRows&) = delete;

    std::string server; // vexa-rpcscd's address
    std::vector<BedInterface> rows;

private:
    std::optional<std::string> oldWindir_;
};

// A second process that holds a reader's card exclusively while it lives.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::string& reader)
        : pipe_(popen((std::string(VEXA_CARD_TOOL) + " hold '" + reader + "' >/dev/null").c_str(), "w")) {
        // Ready once the reader's state shows the exclusive use.
        testbed::waitForCard(reader, true, kCardWait);
        for (int i = 0; i < 100 && !held(reader); ++i) usleep(20000);
    }
    static bool held(const std::string& reader) {
        TovChipDefaultAccess probe;
        std::uint32_t state = 0;
        TovLog quiet(LOG_OFF);
        probe.getCardStatus(quiet, INTERFACE_PCSC, reader, state);
        return (state & SCARD_STATE_EXCLUSIVE) != 0;
    }

private:
    // Closing the holder's stdin ends the hold. A deleter type of its own:
    // pclose's declared attributes would be dropped from a function pointer
    // type given as a template argument.
    struct Closer {
        void operator()(FILE* pipe) const { pclose(pipe); }
    };
    std::unique_ptr<FILE, Closer> pipe_;
};

// A plug-in that a page has opened, with a configuration home of its own.
class AdmittedPluginTest : public TestBedTest {
protected:
    class AdmittingUser : public UserQuestion {
    public:
        bool ask(std::string_view, std::string_view) override { return true; }
    };
    class AdmittedPlugin : private AdmittingUser, public ChipCardPlugin {
    public:
        AdmittedPlugin() : ChipCardPlugin(PageIdentity{"https://bank.example/"}, *this) {}
    };

    CapturedLog log;
    AdmittedPlugin plugin;

    void SetUp() override {
        TestBedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        home_ = std::filesystem::temp_directory_path() / ("vexa-ops-" + std::to_string(getpid()));
        std::filesystem::create_directories(home_);
        setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
        plugin.loadConfiguration({.clientText = "test"});
        ASSERT_EQ(plugin.Open("page"), 0);
    }
    void TearDown() override {
        TestBedTest::TearDown();
        if (!home_.empty()) std::filesystem::remove_all(home_);
    }

private:
    std::filesystem::path home_;
};

} // namespace vexa::testing
