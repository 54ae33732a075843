#include "control/chip_card_control.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>

#include "control/host_messages.h"
#include "control/script_dispatcher.h"
#include "platform/input_wait.h"
#include "plugin_environment.h"
#include "support/text.h"

using namespace vexa;
using vexa::testing::PluginEnvironment;
using namespace std::chrono_literals;

namespace {

// Generous bound for anything another thread has to do.
constexpr auto kPatience = 20s;

class ScriptedPage : public UserQuestion {
public:
    explicit ScriptedPage(bool answer = false) : answer_(answer) {}
    bool ask(std::string_view, std::string_view text) override {
        ++questions;
        lastText = text;
        return answer_;
    }
    int questions = 0;
    std::string lastText;

private:
    bool answer_;
};

// Stands in for the event monitor until there is one: a thread that raises
// events through the control's overrides. A source that never finishes
// aborts the test program rather than hang it.
class EventSource {
public:
    template <typename Raise>
    explicit EventSource(Raise raise) : finished_(done_.get_future()) {
        thread_ = std::thread([this, raise] {
            raise();
            done_.set_value();
        });
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource() {
        if (!finishes()) {
            std::cerr << "event source still blocked\n";
            std::abort();
        }
        thread_.join();
    }
    bool finishes() { return finished_.wait_for(kPatience) == std::future_status::ready; }

private:
    std::promise<void> done_;
    std::future<void> finished_;
    std::thread thread_;
};

// Does what the host's main loop does: waits for the wake-up and fires the
// pending event. "" when none came.
std::string nextEvent(ChipCardControl& control) {
    EventMailbox& mailbox = control.mailbox();
    std::string fired;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (fired.empty() && std::chrono::steady_clock::now() < deadline) {
        const platform::WaitHandle wake = mailbox.wakeHandle();
        bool ready = false;
        platform::waitReadable(std::span(&wake, 1), std::span(&ready, 1), 100);
        mailbox.clearWake();
        mailbox.deliver([&](const CardEvent& event) { fired = eventMessage(event); });
    }
    return fired;
}

bool waitUntilPostWaits(EventMailbox& mailbox) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (mailbox.waitingPosts() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool nothingPending(EventMailbox& mailbox) {
    return !mailbox.deliver([](const CardEvent&) {});
}

class ChipCardControlTest : public ::testing::Test {
protected:
    PluginEnvironment env;
    ScriptedPage page{true};
};

} // namespace

TEST_F(ChipCardControlTest, StartsForItsBrowserAndPage) {
    env.writeFile(env.meridan() / "vexa_ie.conf", "LOGLEVEL=TRACE\n");
    std::uintptr_t address = 0;
    {
        ChipCardControl control(page, {"https://b\xc3\xa4nk.example/app/x.html", "Chromium 120.0.6099.224"});
        ChipCardControl second(page, {"https://b\xc3\xa4nk.example/app/y.html", "Chromium 120.0.6099.224"});
        address = reinterpret_cast<std::uintptr_t>(&control);
        EXPECT_EQ(control.getClientName(), "Chromium 120.0.6099.224");
        EXPECT_EQ(control.Open("page"), 0);
        EXPECT_EQ(page.lastText, "Darf von https://b\xe4nk.example/app auf Chipkartenleser zugegriffen werden?");

        // Reset starts the plug-in again for the same browser; Open asks again.
        ScriptDispatcher dispatcher(control, control);
        EXPECT_EQ(dispatcher.handleLine(R"({"id":1,"method":"Reset"})"), R"({"id":1,"result":0})");
        EXPECT_EQ(control.getClientName(), "Chromium 120.0.6099.224");
        EXPECT_FALSE(control.isInitialised());
    }
    const std::string log = PluginEnvironment::readFile(env.meridan() / "vexa_ie.log");
    EXPECT_NE(log.find("VEXA 2.0.0.2 on Linux using interface type PCSC on Chromium 120.0.6099.224"),
              std::string::npos);
    // Each control by its number, one apart, never by its heap address,
    // which a page could read back.
    const std::string_view made = "constructor () called for control ";
    const std::size_t at = log.find(made);
    ASSERT_NE(at, std::string::npos) << log;
    const unsigned first = std::stoul(log.substr(at + made.size()));
    for (std::string_view line : {"CTovChipPluginActiveXCtrl::constructor () called for control ",
                                  "CTovChipPluginActiveXCtrl:destructor () called for control "}) {
        EXPECT_NE(log.find(std::string(line) + std::to_string(first) + " \n"), std::string::npos) << log;
        EXPECT_NE(log.find(std::string(line) + std::to_string(first + 1) + " \n"), std::string::npos) << log;
    }
    EXPECT_EQ(log.find(hexNumber(address, 16)), std::string::npos) << log;
    // No run of ten hex digits, the shape of a printed pointer.
    std::size_t run = 0;
    std::size_t longest = 0;
    for (const char c : log) {
        run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_LT(longest, 10u) << log;
}

// The extension sends the frame's origin beside its address; browsers
// without one leave it out.
TEST_F(ChipCardControlTest, HelloHandsTheFrameOriginToOpen) {
    std::string problem;
    const auto inherited = parseHello(
        HostJson::parse(R"({"url":"about:blank","origin":"https://bank.example","browser":"Chromium 1"})"), problem);
    ASSERT_TRUE(inherited) << problem;
    EXPECT_EQ(inherited->origin, "https://bank.example");
    const auto plain = parseHello(HostJson::parse(R"({"url":"https://bank.example/","browser":"Firefox 1"})"), problem);
    ASSERT_TRUE(plain) << problem;
    EXPECT_EQ(plain->origin, "");
    for (const char* bad : {R"({"url":"about:blank","origin":5,"browser":"C"})",
                            R"({"url":"about:blank","origin":null,"browser":"C"})"}) {
        problem.clear();
        EXPECT_FALSE(parseHello(HostJson::parse(bad), problem)) << bad;
        EXPECT_NE(problem.find("\"origin\""), std::string::npos) << problem;
    }

    {
        ChipCardControl control(page, *inherited);
        EXPECT_EQ(control.Open("page"), 0);
        EXPECT_EQ(page.lastText, "Darf von https://bank.example auf Chipkartenleser zugegriffen werden?");
    }
    const auto opaque = parseHello(
        HostJson::parse(R"({"url":"https://bank.example/x.html","origin":"null","browser":"Chromium 1"})"), problem);
    ASSERT_TRUE(opaque);
    ChipCardControl control(page, *opaque);
    EXPECT_EQ(control.Open("page"), 992211);
    EXPECT_EQ(page.questions, 1);
}

TEST_F(ChipCardControlTest, EventsReachTheHostInOrderWithTheirArguments) {
    ChipCardControl control(page, {"https://bank.example/", "Chromium 1"});
    EventSource source([&] {
        control.OnCardReady("Reader 0", "", 0, "ev");
        control.OnCardRemoved("Reader 1", "ev");
        control.OnCardReady("Reader 0", "3B 8F 80 01 ", 2, "ev");
        control.OnCardError("Reader 0", "ev");
        control.OnReaderAdded("Leser \xe4", "");
        control.OnReaderRemoved("Reader 2", "ev");
        control.OnCardInuse("Reader 0", 3, "ev");
        control.OnCardUnused("Reader 0", "ev");
    });
    for (const char* expected : {
             R"({"event":"OnCardReady","args":["Reader 0","",0,"ev"]})",
             R"({"event":"OnCardRemoved","args":["Reader 1","ev"]})",
             R"({"event":"OnCardReady","args":["Reader 0","3B 8F 80 01 ",2,"ev"]})",
             R"({"event":"OnCardError","args":["Reader 0","ev"]})",
             "{\"event\":\"OnReaderAdded\",\"args\":[\"Leser \xc3\xa4\",\"\"]}",
             R"({"event":"OnReaderRemoved","args":["Reader 2","ev"]})",
             R"({"event":"OnCardInuse","args":["Reader 0",3,"ev"]})",
             R"({"event":"OnCardUnused","args":["Reader 0","ev"]})",
         }) {
        EXPECT_EQ(nextEvent(control), expected);
    }
    EXPECT_TRUE(source.finishes());
    EXPECT_TRUE(nothingPending(control.mailbox()));
}

TEST_F(ChipCardControlTest, ResetFreesASourceWaitingOnAFullMailbox) {
    ChipCardControl control(page, {"https://bank.example/", "Chromium 1"});
    ScriptDispatcher dispatcher(control, control);
    {
        EventSource source([&] {
            control.OnCardReady("R", "3B 00 ", 1, "before");
            control.OnCardRemoved("R", "before");
        });
        ASSERT_TRUE(waitUntilPostWaits(control.mailbox()));
        EXPECT_EQ(dispatcher.handleLine(R"({"id":7,"method":"Reset"})"), R"({"id":7,"result":0})");
        ASSERT_TRUE(source.finishes());
    }
    // Neither the event in the slot nor the one held back survives Reset.
    EXPECT_TRUE(nothingPending(control.mailbox()));

    EventSource later([&] { control.OnCardUnused("R", "after"); });
    EXPECT_EQ(nextEvent(control), R"({"event":"OnCardUnused","args":["R","after"]})");
}

TEST_F(ChipCardControlTest, ShutdownFreesAWaitingSourceAndRefusesLaterEvents) {
    ChipCardControl control(page, {"https://bank.example/", "Chromium 1"});
    {
        EventSource source([&] {
            control.OnReaderAdded("R", "x");
            control.OnReaderRemoved("R", "x");
        });
        ASSERT_TRUE(waitUntilPostWaits(control.mailbox()));
        control.shutdown();
        ASSERT_TRUE(source.finishes());
    }
    // Nothing may wait once the plug-in is being torn down.
    EventSource after([&] {
        control.OnCardError("R", "x");
        control.OnCardError("R", "y");
    });
    EXPECT_TRUE(after.finishes());
}
