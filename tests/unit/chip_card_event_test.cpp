// Event monitoring without a card service: the switch's states and the
// bookkeeping of the watched readers.
#include "readers/chip_card_event.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "temp_files.h"
#include "cardaccess/interface_type.h"
#include "core/chip_card_plugin.h"
#include "readers/event_monitor.h"
#include "readers/reader_state_list.h"

using namespace vexa;
namespace fs = std::filesystem;

namespace {

class ChipCardEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_support::makeUniqueDirectory(std::filesystem::temp_directory_path(), "vexa-events-");
        log.setLogFile("", "", (dir / "events.log").string());
        log.open();
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string logText() const {
        std::ifstream in(dir / "events.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::size_t count(const std::string& text) const {
        const std::string all = logText();
        std::size_t n = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    fs::path dir;
    TovLog log{LOG_TRACE, TovLog::File};
};

// CT-API readers have no events: the thread runs, and does nothing else.
TEST_F(ChipCardEventTest, EnablingTwiceAndDisablingTwiceChangeNothing) {
    ChipCardEvent events;
    EXPECT_EQ(events.enableEvents(log, "first", INTERFACE_CTAPI, ""), 0);
    EXPECT_TRUE(events.eventsEnabled());
    EXPECT_EQ(events.enableEvents(log, "second", INTERFACE_CTAPI, ""), 0);
    EXPECT_EQ(events.disableEvents(log), 0);
    EXPECT_FALSE(events.eventsEnabled());
    EXPECT_EQ(events.disableEvents(log), 0);
    events.resetEvents();
    EXPECT_EQ(count(" DEBUG   Events are already enabled"), 1u);
    EXPECT_EQ(count(" DEBUG   Events are already disabled"), 1u);
    EXPECT_EQ(count(" DEBUG   Events enabled"), 1u);
    EXPECT_EQ(count(" DEBUG   Events disabled"), 1u);
    EXPECT_EQ(count(" ERROR "), 0u);
}

// A restart right after a stop runs beside the finishing thread, and every
// thread is gone when the owner is (the sanitizers watch for leaks).
TEST_F(ChipCardEventTest, QuickRestartsAndDestructionLeaveNoThreadBehind) {
    {
        ChipCardEvent events;
        for (int i = 0; i < 30; ++i) {
            ASSERT_EQ(events.enableEvents(log, "ev", INTERFACE_CTAPI, ""), 0);
            ASSERT_EQ(events.disableEvents(log), 0);
        }
        EXPECT_EQ(events.enableEvents(log, "ev", INTERFACE_CTAPI, ""), 0);
    }
    EXPECT_EQ(count(" DEBUG   Events enabled"), 31u);
    EXPECT_EQ(count(" DEBUG   Events disabled"), 31u);
}

// A type without a status source fails every pass with the same readable
// line, written once, and no pass claims a successful retry.
TEST_F(ChipCardEventTest, AnUnknownInterfaceFailsInWordsWithoutARetryLine) {
    ChipCardEvent sink;
    EventMonitor monitor(sink, log, "ev", INTERFACE_UNDEFINED, "");
    for (int i = 0; i < 3; ++i) monitor.pass();
    EXPECT_EQ(count(" ERROR   Unbekanntes Interface"), 1u) << logText();
    EXPECT_EQ(count("992308"), 0u);
    EXPECT_EQ(count("Retry of initialization successful"), 0u);
}

TEST_F(ChipCardEventTest, PluginOperationsObeyTheGuardAndKeepTheCode) {
    ChipCardPlugin plugin;
    EXPECT_EQ(plugin.EnableEvents("ev"), 992211);
    EXPECT_EQ(plugin.DisableEvents(), 992211);
    EXPECT_EQ(plugin.GetLastErrorCode(), 992211);
}

std::vector<std::string> names(ReaderStateList& list) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        out.push_back(list.name(i));
        // Each entry's name pointer and user data stay its own.
        EXPECT_EQ(std::string(list.state(i).szReader), list.name(i));
        EXPECT_EQ(list.state(i).pvUserData, &list.watch(i));
    }
    return out;
}

TEST(ReaderStateListTest, EntriesKeepTheirNamesAndStateWhileOthersMove) {
    ReaderStateList list;
    for (const char* name : {"A", "C", "E"}) list.append(name);
    list.state(1).dwCurrentState = 0x20;
    list.watch(1).cardPresent = true;
    list.insert(1, "B");
    list.insert(0, "start");
    list.remove(4);
    list.remove(9); // past the end: nothing
    EXPECT_EQ(names(list), (std::vector<std::string>{"start", "A", "B", "C"}));
    EXPECT_EQ(list.state(3).dwCurrentState, 0x20u);
    EXPECT_TRUE(list.watch(3).cardPresent);
    EXPECT_EQ(list.state(2).dwCurrentState, 0u); // new entries start unaware
    EXPECT_FALSE(list.watch(2).cardPresent);
}

TEST(ReaderStateListTest, RefreshReportsOnlyTheReadersThatCameOrWent) {
    ReaderStateList list;
    for (const char* name : {"A", "B", "C", "\\\\?PnP?\\Notification"}) list.append(name);
    list.watch(2).cardPresent = true;
    std::vector<std::string> calls;
    const std::vector<std::string> now{"A", "C", "D", "\\\\?PnP?\\Notification", "E"};
    refreshReaderStates(
        list, now, [&](const std::string& n) { calls.push_back("-" + n); },
        [&](const std::string& n) { calls.push_back("+" + n); });
    EXPECT_EQ(calls, (std::vector<std::string>{"-B", "+D", "+E"}));
    EXPECT_EQ(names(list), now);
    EXPECT_TRUE(list.watch(1).cardPresent); // C kept what it knew

    calls.clear();
    refreshReaderStates(
        list, std::vector<std::string>{}, [&](const std::string& n) { calls.push_back("-" + n); },
        [&](const std::string& n) { calls.push_back("+" + n); });
    EXPECT_EQ(calls.size(), 5u);
    EXPECT_TRUE(list.empty());
}

} // namespace
