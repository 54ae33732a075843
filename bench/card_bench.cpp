// One APDU round trip on the test bed's first virtual card, four ways:
//   (a) SCardTransmit directly            (b) TovChipDefaultAccess::executeDirect
//   (c) ChipCardPlugin::SendToCard        (d) SendToCard through `vexa shell`
// each with the log OFF and at DEBUG. Prints microseconds per APDU (median
// of the rounds' means) and the ratio to (a).
//
//   VEXA_TESTBED_DIR=... vexa_card_bench [--iterations N] [--rounds R]
#include "pcsc/pcsc_api.h"
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "bench/shell_process.h"
#include "cardaccess/tov_chip_default_access.h"
#include "core/chip_card_plugin.h"
#include "pcsc/card.h"
#include "pcsc/context.h"
#include "support/tov_exception.h"
#include "support/version.h"
#include "testbed/card_control_client.h"
#include "testbed/pcsc_tools.h"

namespace vexa::bench {
namespace {

constexpr const char* kReader = "Virtual PCD 00 00";
constexpr std::array<std::uint8_t, 9> kCommand = {0x80, 0xEE, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
constexpr const char* kCommandHex = "80 EE 00 00 04 01 02 03 04";
constexpr const char* kAnswerHex = "01 02 03 04 90 00";

// The user of the page: says OK.
class Consent : public UserQuestion {
public:
    bool ask(std::string_view, std::string_view) override { return true; }
};

// The plug-in as a page would use it: admitted at the first Open.
class BenchPlugin : private Consent, public ChipCardPlugin {
public:
    BenchPlugin() : ChipCardPlugin(PageIdentity{"https://bench.example/"}, *this) {}
};

int run(int iterations, int rounds) {
    const std::string bed = testbed::joinTestbed();
    if (bed.empty()) throw std::runtime_error("VEXA_TESTBED_DIR is not set: start testbed/start_testbed.sh first");
    testbed::CardControlClient card(std::string(bed) + "/card0.sock");
    card.require("reset");
    card.require("insert");
    if (!testbed::waitForCard(kReader, true, std::chrono::seconds(5))) throw std::runtime_error("no card");

    // A throwaway home and working directory for the plug-in, the shell and
    // the DEBUG logs.
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("vexa-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "shell");
    setenv("HOME", work.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (work / ".config").c_str(), 1);
    std::filesystem::current_path(work);

    // (a)
    const pcsc::Context context = pcsc::Context::open();
    DWORD protocol = 0;
    const pcsc::Card direct =
        pcsc::Card::open(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol);
    // (b)
    TovLog accessLog(LOG_OFF, TovLog::File, false);
    accessLog.setLogFile("", work.string(), "access.log");
    accessLog.open();
    TovChipDefaultAccess access;
    if (access.connect(accessLog, INTERFACE_PCSC, kReader, SCARD_SHARE_SHARED, 3) != 0)
        throw std::runtime_error("executeDirect variant cannot connect");
    // (c)
    BenchPlugin plugin;
    plugin.loadConfiguration({.clientText = "bench"});
    if (plugin.Open("bench") != 0 || plugin.ConnectCardEx(kReader, SCARD_SHARE_SHARED, 3, 0) != 0)
        throw std::runtime_error("plug-in variant cannot connect");
    // (d)
    ShellProcess shell(VEXA_SHELL, {"shell", "--url", "https://bench.example/", "--answer", "yes"},
                       (work / "shell").string());
    shell.call(R"({"id":0,"method":"Open","args":["bench"]})");
    if (shell.call(std::string(R"({"id":0,"method":"ConnectCard","args":[")") + kReader + R"(",2]})") !=
        R"({"id":0,"result":0})")
        throw std::runtime_error("shell variant cannot connect");

    const std::string shellCall = std::string(R"({"id":1,"method":"SendToCard","args":[")") + kCommandHex + R"("]})";
    const std::string shellAnswer = std::string(R"({"id":1,"result":")") + kAnswerHex + R"("})";
    std::vector<Variant> variants = {
        directTransmit(direct.get(), protocol, kCommand, 6),
        {"(b) TovChipDefaultAccess::executeDirect",
         [&] {
             std::array<std::uint8_t, 512> answer;
             std::uint32_t length = answer.size();
             return access.executeDirect(accessLog, kCommand, answer, length) == 0 && length == 6;
         },
         {}},
        {"(c) ChipCardPlugin::SendToCard", [&] { return plugin.SendToCard(kCommandHex) == kAnswerHex; }, {}},
        {"(d) SendToCard through vexa shell", [&] { return shell.call(shellCall) == shellAnswer; }, {}},
    };

    std::printf("%d APDUs per variant and log level, %d rounds; echo of 4 bytes on '%s'\n", iterations, rounds,
                kReader);
    for (const char* level : {"OFF", "DEBUG"}) {
        accessLog.setThreshold(logLevelValue(level));
        plugin.SetMode("LOGLEVEL", level);
        shell.call(std::string(R"({"id":0,"method":"SetMode","args":["LOGLEVEL",")") + level + R"("]})");
        runTable(variants, std::string("log ") + level, iterations, rounds);
    }
    std::filesystem::current_path("/");
    std::filesystem::remove_all(work);
    return 0;
}

} // namespace
} // namespace vexa::bench

int main(int argc, char** argv) {
    static constexpr vexa::ProgramText kProgram{
        "vexa_card_bench", vexa::kVersion, "vexa_card_bench [--iterations N] [--rounds R]",
        "One APDU on the test bed's first card four ways (SCardTransmit, the card connection, the plug-in,\n"
        "`vexa shell`), log OFF and DEBUG. Needs VEXA_TESTBED_DIR."};
    return vexa::bench::benchMain(argc, argv, kProgram, vexa::bench::run);
}
