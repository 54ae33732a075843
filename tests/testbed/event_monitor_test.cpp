// The event monitor against the real pcscd and the virtual cards: passes are
// driven by the test, one at a time, so each event can be counted.
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../unit/plugin_environment.h"
#include "cardaccess/interface_type.h"
#include "control/chip_card_control.h"
#include "control/host_messages.h"
#include "control/script_dispatcher.h"
#include "core/chip_card_plugin.h"
#include "pcsc/card.h"
#include "pcsc/context.h"
#include "platform/input_wait.h"
#include "readers/chip_card_event.h"
#include "readers/event_monitor.h"
#include "support/call_error.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

using namespace std::chrono_literals;

// Writes down every event as "Name|reader|args...|identifier".
class RecordingSink : public ChipCardEvent {
public:
    // Monitor threads stop before the record goes.
    ~RecordingSink() override { resetEvents(); }
    void OnCardReady(std::string_view r, std::string_view atr, std::int32_t protocol, std::string_view id) override {
        add("OnCardReady|" + std::string(r) + "|" + std::string(atr) + "|" + std::to_string(protocol), id);
    }
    void OnCardError(std::string_view r, std::string_view id) override { add("OnCardError|" + std::string(r), id); }
    void OnCardRemoved(std::string_view r, std::string_view id) override { add("OnCardRemoved|" + std::string(r), id); }
    void OnReaderAdded(std::string_view r, std::string_view id) override { add("OnReaderAdded|" + std::string(r), id); }
    void OnReaderRemoved(std::string_view r, std::string_view id) override {
        add("OnReaderRemoved|" + std::string(r), id);
    }
    void OnCardInuse(std::string_view r, std::int32_t mode, std::string_view id) override {
        add("OnCardInuse|" + std::string(r) + "|" + std::to_string(mode), id);
    }
    void OnCardUnused(std::string_view r, std::string_view id) override { add("OnCardUnused|" + std::string(r), id); }

    std::vector<std::string> take() {
        std::lock_guard lock(lock_);
        return std::exchange(events_, {});
    }
    std::vector<std::string> seen() {
        std::lock_guard lock(lock_);
        return events_;
    }
    // Waits until the record holds every wanted event; false at the deadline.
    bool waitForAll(const std::vector<std::string>& wanted, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(lock_);
        return added_.wait_until(lock, deadline, [&] {
            return std::all_of(wanted.begin(), wanted.end(), [&](const auto& w) {
                return std::find(events_.begin(), events_.end(), w) != events_.end();
            });
        });
    }

private:
    void add(std::string text, std::string_view id) {
        {
            std::lock_guard lock(lock_);
            events_.push_back(text + "|" + std::string(id));
        }
        added_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable added_;
    std::vector<std::string> events_;
};

const std::string kAtrText = "3B 88 80 01 56 45 58 41 43 41 52 44 17 ";

class EventMonitorTest : public TestBedTest {
protected:
    CapturedLog log;
    RecordingSink sink;
    EventMonitor monitor{sink, log, "ev", INTERFACE_PCSC, ""};

    // Both cards with the usual ATR, whatever an earlier test left in them.
    void SetUp() override {
        TestBedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        reinsert(card0, kReader0);
        reinsert(card1, kReader1);
    }

    // Runs passes until the recorded events include want (or time runs out);
    // then a few more, so that a duplicate would show.
    std::vector<std::string> passesUntil(const std::string& want) {
        const auto end = std::chrono::steady_clock::now() + kCardWait;
        auto contains = [&] {
            for (const auto& e : sink.seen())
                if (e == want) return true;
            return false;
        };
        while (!contains() && std::chrono::steady_clock::now() < end && passWaiting()) {
        }
        for (int i = 0; i < 5 && passWaiting(); ++i) {
        }
        return sink.take();
    }
    // Passes until pcscd has seen a change that needs no event.
    void settle() {
        for (int i = 0; i < 10 && passWaiting(); ++i) {
        }
        sink.take();
    }
    // One pass; a PC/SC pass waits in pcscd for a change, so passes need no
    // sleep between them. False (and a failure) when it did not wait.
    bool passWaiting() {
        const bool waited = monitor.pass();
        EXPECT_TRUE(waited) << "the pass did not wait in pcscd";
        return waited;
    }
    // An event's record for the second reader; extra: the arguments between.
    static std::string about1(const std::string& name, const std::string& extra = "") {
        return name + "|" + kReader1 + extra + "|ev";
    }
    // True once the events of the monitor threads include every wanted one.
    bool threadsReport(const std::vector<std::string>& wanted) {
        if (sink.waitForAll(wanted, std::chrono::steady_clock::now() + kCardWait)) return true;
        ADD_FAILURE() << "events so far: " << ::testing::PrintToString(sink.seen());
        return false;
    }
    static std::string serverAddress() {
        std::string server;
        std::getline(std::ifstream(testbedDir() + "/rpcscd.address"), server);
        return server;
    }
};

// A server that takes connections and never answers.
class SilentServer {
public:
    SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    ~SilentServer() { ::close(fd_); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_;
    int port_ = 0;
};

TEST_F(EventMonitorTest, FirstPassReportsCardsPresentAndNoReaders) {
    monitor.pass();
    EXPECT_EQ(sink.take(), (std::vector<std::string>{
                               "OnCardReady|" + std::string(kReader0) + "|" + kAtrText + "|1|ev",
                               "OnCardReady|" + std::string(kReader1) + "|" + kAtrText + "|1|ev",
                           }));
    EXPECT_TRUE(log.contains(" DEBUG   Event card ready in reader Virtual PCD 00 01"));
    // Nothing changed: no event, and no state lines either.
    monitor.pass();
    EXPECT_TRUE(sink.take().empty());
}

TEST_F(EventMonitorTest, RemovalAndInsertionEachGiveOneEvent) {
    monitor.pass();
    sink.take();
    card1.require("remove");
    EXPECT_EQ(passesUntil(about1("OnCardRemoved")), std::vector<std::string>{about1("OnCardRemoved")});
    card1.require("atr 3B021450");
    card1.require("insert");
    EXPECT_EQ(passesUntil("OnCardReady|Virtual PCD 00 01|3B 02 14 50 |0|ev"),
              std::vector<std::string>{"OnCardReady|Virtual PCD 00 01|3B 02 14 50 |0|ev"});
    card1.require("reset"); // the next test's card has the usual ATR again
    reinsert(card1, kReader1);
    EXPECT_TRUE(log.contains(" TRACE   State of reader Virtual PCD 00 01: SCARD_STATE_CHANGED SCARD_STATE_PRESENT "));
    EXPECT_TRUE(log.contains(" DEBUG   Event card removed in reader Virtual PCD 00 01"));
}

TEST_F(EventMonitorTest, UseByOthersIsReportedOnceAndItsEnd) {
    monitor.pass();
    sink.take();
    {
        ExclusiveHolder holder(kReader1);
        EXPECT_EQ(passesUntil(about1("OnCardInuse", "|1")), std::vector<std::string>{about1("OnCardInuse", "|1")});
    }
    EXPECT_EQ(passesUntil(about1("OnCardUnused")), std::vector<std::string>{about1("OnCardUnused")});

    const pcsc::Context context = pcsc::Context::open();
    DWORD protocol = 0;
    try {
        pcsc::Card shared = pcsc::Card::open(context, kReader1, SCARD_SHARE_SHARED, 3, protocol);
        // Changes elsewhere do not repeat the use.
        card0.require("remove");
        const auto events = passesUntil("OnCardRemoved|Virtual PCD 00 00|ev");
        EXPECT_EQ(std::count(events.begin(), events.end(), about1("OnCardInuse", "|2")), 1);
        // Pulled while in use: first unused, then removed.
        card1.require("remove");
        EXPECT_EQ(passesUntil(about1("OnCardRemoved")),
                  (std::vector<std::string>{about1("OnCardUnused"), about1("OnCardRemoved")}));
    } catch (const CallError& e) {
        FAIL() << e.call() << " " << e.code();
    }
}

// The same watch over the test bed's remote PC/SC server.
TEST_F(EventMonitorTest, RemoteReadersReportTheirCardsToo) {
    const std::string server = serverAddress();
    ASSERT_FALSE(server.empty()) << "no rpcscd.address in the test bed";
    EventMonitor remote{sink, log, "ev", INTERFACE_REMOTE_PCSC, server};
    const std::string reader1 = server + ":" + kReader1;
    remote.pass();
    const auto first = sink.take();
    EXPECT_EQ(std::count(first.begin(), first.end(), "OnCardReady|" + reader1 + "|" + kAtrText + "|1|ev"), 1)
        << ::testing::PrintToString(first);
    card1.require("remove");
    // The server answers with what pcscd knows, so once pcscd has seen the
    // removal the next pass reports it.
    ASSERT_TRUE(testbed::waitForCard(kReader1, false, kCardWait));
    remote.pass();
    const auto events = sink.take();
    EXPECT_EQ(events, std::vector<std::string>{"OnCardRemoved|" + reader1 + "|ev"});
}

// All types at once: the PC/SC readers through PC/SC, the remote ones through
// the remote client, and not one pass failing.
TEST_F(EventMonitorTest, AllTypesWatchLocalAndRemoteReaders) {
    const std::string server = serverAddress();
    ASSERT_FALSE(server.empty()) << "no rpcscd.address in the test bed";
    const std::string remote1 = server + ":" + kReader1;
    ASSERT_EQ(sink.enableEvents(log, "ev", INTERFACE_ALL, server), 0);
    EXPECT_TRUE(threadsReport(
        {about1("OnCardReady", "|" + kAtrText + "|1"), "OnCardReady|" + remote1 + "|" + kAtrText + "|1|ev"}));
    card1.require("remove");
    EXPECT_TRUE(threadsReport({about1("OnCardRemoved"), "OnCardRemoved|" + remote1 + "|ev"}));
    sink.resetEvents();
    EXPECT_FALSE(log.contains(" ERROR ")) << log.text();
    EXPECT_FALSE(log.contains("Retry of initialization successful"));
}

// A server that never answers holds back nothing of the local readers.
TEST_F(EventMonitorTest, AllTypesReportLocalEventsWhileTheServerIsSilent) {
    const SilentServer silent;
    ASSERT_EQ(sink.enableEvents(log, "ev", INTERFACE_ALL, silent.address()), 0);
    EXPECT_TRUE(threadsReport({about1("OnCardReady", "|" + kAtrText + "|1")}));
    card1.require("remove");
    EXPECT_TRUE(threadsReport({about1("OnCardRemoved")}));
    sink.resetEvents();
}

// A server that is not there: one ERROR line however often it is retried.
TEST_F(EventMonitorTest, AFailingInitialisationIsLoggedOnceAndRetried) {
    EventMonitor remote{sink, log, "ev", INTERFACE_REMOTE_PCSC, "127.0.0.1:1"};
    for (int i = 0; i < 5; ++i) remote.pass();
    const std::string text = log.text();
    const std::string line = " ERROR   Initialization unsuccessful in eventHandler ()";
    const auto at = text.find(line);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(line, at + 1), std::string::npos) << text;
    EXPECT_NE(text.find(". Retrying initialization...", at), std::string::npos);
    EXPECT_TRUE(sink.take().empty());
}

// The host's control with the real monitor thread behind it.
class ControlEventsTest : public TestBedTest {
protected:
    class AdmittingPage : public UserQuestion {
        bool ask(std::string_view, std::string_view) override { return true; }
    };

    void SetUp() override {
        TestBedTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        reinsert(card0, kReader0);
        reinsert(card1, kReader1);
        control = std::make_unique<ChipCardControl>(page, PageIdentity{"https://bank.example/", "Chromium 1"});
        dispatcher = std::make_unique<ScriptDispatcher>(*control, *control);
        ASSERT_EQ(control->Open("x"), 0);
        ASSERT_EQ(control->SetMode("INTERFACE", "PCSC"), 0);
    }
    void TearDown() override {
        dispatcher.reset();
        control.reset();
        TestBedTest::TearDown();
    }
    // The next event the host would write, "" when none comes in time.
    std::string nextEvent(std::chrono::milliseconds patience = kCardWait) {
        EventMailbox& mailbox = control->mailbox();
        std::string fired;
        const auto end = std::chrono::steady_clock::now() + patience;
        while (fired.empty() && std::chrono::steady_clock::now() < end) {
            const platform::WaitHandle wake = mailbox.wakeHandle();
            bool ready = false;
            platform::waitReadable(std::span(&wake, 1), std::span(&ready, 1), 100);
            mailbox.clearWake();
            mailbox.deliver([&](const CardEvent& event) { fired = eventMessage(event); });
        }
        return fired;
    }

    PluginEnvironment env;
    AdmittingPage page;
    std::unique_ptr<ChipCardControl> control;
    std::unique_ptr<ScriptDispatcher> dispatcher;
};

TEST_F(ControlEventsTest, EventsReachTheHostInOrder) {
    ASSERT_EQ(control->EnableEvents("ev"), 0);
    EXPECT_EQ(
        nextEvent(),
        R"({"event":"OnCardReady","args":["Virtual PCD 00 00","3B 88 80 01 56 45 58 41 43 41 52 44 17 ",1,"ev"]})");
    EXPECT_EQ(
        nextEvent(),
        R"({"event":"OnCardReady","args":["Virtual PCD 00 01","3B 88 80 01 56 45 58 41 43 41 52 44 17 ",1,"ev"]})");
    card0.require("remove");
    EXPECT_EQ(nextEvent(), R"({"event":"OnCardRemoved","args":["Virtual PCD 00 00","ev"]})");
    EXPECT_EQ(control->DisableEvents(), 0);
}

// The monitor thread waits on the full mailbox while the host, instead of
// delivering, runs Reset: the thread is released and joined, nothing hangs.
TEST_F(ControlEventsTest, ResetWhileTheMonitorWaitsOnTheHost) {
    ASSERT_EQ(control->EnableEvents("ev"), 0);
    const auto end = std::chrono::steady_clock::now() + kCardWait;
    while (control->mailbox().waitingPosts() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(control->mailbox().waitingPosts(), 1);
    EXPECT_EQ(dispatcher->handleLine(R"({"id":1,"method":"Reset"})"), R"({"id":1,"result":0})");
    EXPECT_FALSE(control->eventsEnabled());
    EXPECT_EQ(nextEvent(1s), "");
}

} // namespace
} // namespace vexa::testing
