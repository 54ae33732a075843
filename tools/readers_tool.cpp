#include "tools/readers_tool.h"

#include "pcsc/pcsc_api.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>

#include "core/chip_card_plugin.h"
#include "core/error_model.h"
#include "core/setting_tables.h"
#include "platform/input_wait.h"
#include "platform/signals.h"
#include "platform/std_streams.h"
#include "readers/reader_interfaces.h"
#include "readers/scapi_management.h"
#include "support/option_parser.h"

namespace vexa {
namespace {

constexpr std::array<OptionSpec, 1> kOptions{{
    {"--watch", "",
     "then print a line per card and reader event until interrupted\n"
     "(Ctrl-C, SIGTERM or the end of standard input)"},
}};
constexpr ProgramText kProgram{"vexa readers", kVersion, "vexa readers [--watch]",
                               "Lists the card readers and their cards through the interface type of the\n"
                               "user's configuration (INTERFACE: PCSC, REMOTE_PCSC, CTAPI or ALL)."};

// What a reader's PC/SC event state says about its card.
std::string cardState(std::uint32_t state) {
    if ((state & SCARD_STATE_UNAVAILABLE) != 0) return "reader in direct use";
    if ((state & SCARD_STATE_MUTE) != 0) return "card present, does not answer";
    if ((state & SCARD_STATE_PRESENT) == 0) return "no card";
    std::string text = "card present";
    if ((state & SCARD_STATE_EXCLUSIVE) != 0)
        text += ", in exclusive use";
    else if ((state & SCARD_STATE_INUSE) != 0)
        text += ", in use";
    return text;
}

std::string describe(TovLog& log, TovChipDefaultAccess& card, const ScapiReader& reader) {
    const ReaderInterface* row = readerInterface(reader.interfaceType);
    CardLook look;
    const std::int32_t result = row != nullptr ? row->lookAtCard(log, card, reader, look) : ERR_UNKNOWN_INTERFACE;
    if (result != 0) return "status unknown: " + lookupErrorText(result);
    std::string text = cardState(look.state);
    std::string hex = look.atr.toHex(true);
    if (!hex.empty()) hex.pop_back();
    if (!hex.empty()) text += ", ATR " + hex;
    return text;
}

// Lists the readers; false (after a message) when there is nothing to list.
bool listReaders(TovLog& log, const PluginSetup& setup, const RemoteServers& servers, bool watch, std::ostream& out,
                 std::ostream& err) {
    const std::string interfaceName = kInterfaceTable.nameOf(setup.interfaceType);
    ScapiManagement inventory;
    const std::int32_t result = inventory.init(log, setup.interfaceType, servers, true, false);
    if (result == ERR_NO_READER) {
        out << "No reader found through " << interfaceName << ".\n";
        return watch;
    }
    if (result != 0) {
        err << "vexa readers: the readers of " << interfaceName << " cannot be listed: "
            << (result == pcsc::code(SCARD_E_NO_SERVICE) ? "no PC/SC resource manager (pcscd) is running"
                                                         : lookupErrorText(result))
            << " (" << errorCodeText(result) << ")\n";
        return false;
    }
    out << "Readers through " << interfaceName << ":\n";
    TovChipDefaultAccess card;
    card.setRemoteServers(servers);
    for (const ScapiReader& reader : inventory.readers())
        out << "  " << reader.name << ": " << describe(log, card, reader) << '\n';
    card.close(log);
    out.flush();
    return true;
}

// Prints each event the monitor threads raise as one line.
class EventPrinter : public ChipCardEvent {
public:
    explicit EventPrinter(std::ostream& out) : out_(out) {}
    ~EventPrinter() override { resetEvents(); }

    void OnCardReady(std::string_view reader, std::string_view atr, std::int32_t protocol, std::string_view) override {
        std::string shown(atr);
        if (!shown.empty() && shown.back() == ' ') shown.pop_back();
        line("card ready: " + std::string(reader) + " (ATR " + shown + ", T=" + std::to_string(protocol) + ")");
    }
    void OnCardError(std::string_view reader, std::string_view) override { line("card error: " + std::string(reader)); }
    void OnCardRemoved(std::string_view reader, std::string_view) override {
        line("card removed: " + std::string(reader));
    }
    void OnReaderAdded(std::string_view reader, std::string_view) override {
        line("reader added: " + std::string(reader));
    }
    void OnReaderRemoved(std::string_view reader, std::string_view) override {
        line("reader removed: " + std::string(reader));
    }
    void OnCardInuse(std::string_view reader, std::int32_t shareMode, std::string_view) override {
        static constexpr std::array<std::string_view, 4> kModes{"", "exclusive", "shared", "direct"};
        const std::string_view mode = shareMode >= 1 && shareMode <= 3 ? kModes[shareMode] : "unknown";
        line("card in use: " + std::string(reader) + " (" + std::string(mode) + ")");
    }
    void OnCardUnused(std::string_view reader, std::string_view) override {
        line("card unused: " + std::string(reader));
    }

private:
    void line(const std::string& text) {
        std::lock_guard guard(lock_);
        out_ << text << std::endl;
    }

    std::ostream& out_;
    std::mutex lock_;
};

// Waits for a stop signal or the end of standard input; input itself is
// ignored.
void waitForEnd(platform::StopSignals& signals) {
    const std::array<platform::WaitHandle, 2> handles{platform::standardInput(), signals.handle()};
    std::array<bool, 2> ready{};
    for (;;) {
        if (platform::waitReadable(handles, ready, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready[1]) {
            signals.take();
            return;
        }
        if (ready[0]) {
            char buffer[256];
            const std::ptrdiff_t n = platform::readSome(handles[0], buffer);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
        }
    }
}

int watchEvents(TovLog& log, const PluginSetup& setup, const RemoteServers& servers, std::ostream& out,
                std::ostream& err) {
    platform::StopSignals signals(platform::StopSignals::AtEnd::restoreMask);
    if (!signals.valid()) {
        err << "vexa readers: cannot wait for signals\n";
        return 1;
    }
    EventPrinter printer(out);
    if (printer.enableEvents(log, "vexa readers", setup.interfaceType, servers) != 0) {
        err << "vexa readers: cannot start the event monitor\n";
        return 1;
    }
    err << "Watching for card and reader events; Ctrl-C ends.\n";
    waitForEnd(signals);
    printer.resetEvents();
    return 0;
}

} // namespace

int runReadersTool(std::span<char* const> args, std::ostream& out, std::ostream& err) {
    OptionParser parser(kProgram, kOptions);
    parser.setStreams(out, err);
    const auto parsed = parser.parse(args);
    if (!parsed) return parser.exitStatus();
    const bool watch = parsed->has("--watch");

    const PluginSetup setup = readPluginSetup(StartupInputs{});
    const ReaderInterface* row = readerInterface(setup.interfaceType);
    if (watch && row != nullptr && row->makeStatusSource == nullptr) return parser.refuse("--watch", row->noEvents);
    // Records go where vexa-host writes them, at the configured level.
    TovLog log(setup.logLevel, TovLog::File);
    log.setClient("vexa readers");
    log.setLogFile("", "", setup.hostLog);
    log.open();

    const RemoteServers servers = RemoteServers::fromSettings(setup.remote, log);
    if (!listReaders(log, setup, servers, watch, out, err)) return 1;
    return watch ? watchEvents(log, setup, servers, out, err) : 0;
}

} // namespace vexa
