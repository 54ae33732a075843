// Card events on the test bed: how long after the resource manager the
// plug-in's event monitor reports a card inserted or removed. The reference
// moment is when pcscd wakes a second client blocked in
// SCardGetStatusChange on the same reader, as any application waiting for
// the card would be. Afterwards the idle monitor's CPU share over 10 s, from
// /proc/self/stat (nothing else in this process runs meanwhile).
//
//   VEXA_TESTBED_DIR=... vexa_event_bench [--rounds N]   (N insert/remove cycles)
//   vexa_event_bench watch   prints "<1 present|0 absent> <epoch ms>" as pcscd
//                            wakes the waiter (the page bench's reference)
#include "pcsc/pcsc_api.h"
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_table.h"
#include "cardaccess/interface_type.h"
#include "pcsc/context.h"
#include "readers/chip_card_event.h"
#include "support/tov_log.h"
#include "support/version.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"

namespace vexa::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kReader = "Virtual PCD 00 01";
constexpr auto kPatience = std::chrono::seconds(5);

// The moment a card was seen coming (present) or going, once per cycle.
class Moments {
public:
    void note(bool present) {
        {
            std::lock_guard lock(lock_);
            (present ? present_ : absent_) = Clock::now();
        }
        seen_.notify_all();
    }
    explicit Moments(std::string side) : side_(std::move(side)) {}
    Clock::time_point await(bool present) {
        std::unique_lock lock(lock_);
        auto& slot = present ? present_ : absent_;
        if (!seen_.wait_for(lock, kPatience, [&] { return slot.has_value(); }))
            throw std::runtime_error(side_ + ": no " + (present ? "insertion" : "removal") + " seen");
        return *std::exchange(slot, std::nullopt);
    }
    void clear() {
        std::lock_guard lock(lock_);
        present_.reset();
        absent_.reset();
    }

private:
    const std::string side_;
    std::mutex lock_;
    std::condition_variable seen_;
    std::optional<Clock::time_point> present_, absent_;
};

// The plug-in side: the event operations of the reader, timed.
class TimingSink : public ChipCardEvent {
public:
    Moments moments{"plug-in"};
    ~TimingSink() override { resetEvents(); }
    void OnCardReady(std::string_view reader, std::string_view, std::int32_t, std::string_view) override {
        if (reader == kReader) moments.note(true);
    }
    void OnCardRemoved(std::string_view reader, std::string_view) override {
        if (reader == kReader) moments.note(false);
    }
};

// The resource manager's side: a client blocked in SCardGetStatusChange
// without a time-out, calling seen with each change of presence.
class PcscdWaiter {
public:
    explicit PcscdWaiter(std::function<void(bool present)> seen)
        : seen_(std::move(seen)), context_(pcsc::Context::open()), thread_([this] { run(); }) {}
    ~PcscdWaiter() {
        stop_ = true;
        while (!done_) {
            static_cast<void>(context_.cancel());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        thread_.join();
    }

private:
    void run() {
        SCARD_READERSTATE state{};
        state.szReader = kReader;
        while (!stop_) {
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            if (context_.statusChange(INFINITE, {&state, 1}) != 0) break;
            const bool present = state.dwEventState & SCARD_STATE_PRESENT;
            if (present != ((state.dwCurrentState & SCARD_STATE_PRESENT) != 0)) seen_(present);
        }
        done_ = true;
    }

    std::function<void(bool)> seen_;
    pcsc::Context context_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct Row {
    std::string name;
    std::vector<double> ms;
};

void printRow(Row& row) {
    std::sort(row.ms.begin(), row.ms.end());
    const auto at = [&](double q) { return row.ms[static_cast<std::size_t>(q * (row.ms.size() - 1))]; };
    std::printf("%-34s %8.1f %8.1f %8.1f %8.1f %5zu\n", row.name.c_str(), at(0.0), at(0.5), at(0.9), row.ms.back(),
                row.ms.size());
}

// User plus system time of this process in seconds.
double cpuSeconds() {
    std::ifstream in("/proc/self/stat");
    const std::string text(std::istreambuf_iterator<char>(in), {});
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    if (f.size() < 13) throw std::runtime_error("unreadable /proc/self/stat");
    return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The same to the nanosecond: /proc/self/stat counts whole clock ticks.
double exactCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int run(int rounds) {
    const std::string bed = testbed::joinTestbed();
    if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
    testbed::CardControlClient card(std::string(bed) + "/card1.sock");
    card.require("reset");
    card.require("insert");
    if (!testbed::waitForCard(kReader, true, kPatience)) throw std::runtime_error("no card");

    TovLog log(LOG_OFF);
    TimingSink sink;
    Moments reference{"pcscd"};
    PcscdWaiter pcscd([&](bool present) { reference.note(present); });
    if (sink.enableEvents(log, "bench", INTERFACE_PCSC, "") != 0) throw std::runtime_error("events did not start");
    sink.moments.await(true); // the card present at the start

    Row inserted{"card inserted -> OnCardReady", {}};
    Row removed{"card removed -> OnCardRemoved", {}};
    for (int i = 0; i < rounds; ++i) {
        for (const bool present : {false, true}) {
            reference.clear();
            sink.moments.clear();
            card.require(present ? "insert" : "remove");
            const auto woken = reference.await(present);
            const auto reported = sink.moments.await(present);
            const std::chrono::duration<double, std::milli> late = reported - woken;
            (present ? inserted : removed).ms.push_back(late.count());
        }
    }
    std::printf("event at the plug-in, ms after pcscd woke a blocking waiter\n");
    std::printf("%-34s %8s %8s %8s %8s %5s\n", "", "best", "median", "p90", "worst", "n");
    printRow(inserted);
    printRow(removed);

    const double before = cpuSeconds();
    const double exactBefore = exactCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const std::chrono::duration<double> spent = Clock::now() - start;
    std::printf("idle monitor: %.2f %% of a core over %.0f s (/proc/self/stat), %.2f %% (CLOCK_PROCESS_CPUTIME_ID)\n",
                100.0 * (cpuSeconds() - before) / spent.count(), spent.count(),
                100.0 * (exactCpuSeconds() - exactBefore) / spent.count());
    sink.disableEvents(log);
    return 0;
}

// Until stdin closes.
int watch() {
    const PcscdWaiter pcscd([](bool present) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::printf("%d %.3f\n", present ? 1 : 0, std::chrono::duration<double, std::milli>(now).count());
        std::fflush(stdout);
    });
    std::printf("watching\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

} // namespace
} // namespace vexa::bench

int main(int argc, char** argv) {
    using namespace vexa;
    static constexpr ProgramText kProgram{
        "vexa_event_bench", kVersion, "vexa_event_bench [--rounds N]\nvexa_event_bench watch",
        "N insert/remove cycles of the test bed's second card: the plug-in's events against pcscd waking a\n"
        "waiter, then the idle monitor's CPU. `watch` prints \"<1 present|0 absent> <epoch ms>\" as pcscd\n"
        "wakes the waiter, until stdin closes. Needs VEXA_TESTBED_DIR.",
        1};
    static constexpr std::array<OptionSpec, 1> kOptions{bench::kRoundsOption};
    int status = 0;
    const auto parsed = bench::benchOptions(argc, argv, kProgram, kOptions, status);
    if (!parsed) return status;
    const auto operands = parsed->operands();
    if (operands.size() == 1 && operands[0] == "watch") return bench::watch();
    if (!operands.empty()) {
        OptionParser parser(kProgram, kOptions);
        return parser.refuse(operands[0], "unknown command (only watch)");
    }
    const int rounds = static_cast<int>(parsed->number(bench::kRoundsOption.name, 10));
    return bench::runBench(kProgram.name, [&] { return bench::run(rounds); });
}
