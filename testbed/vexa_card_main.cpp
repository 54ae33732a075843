// vexa-card: the test bed's virtual card and its helpers.
//   vexa-card serve --port N --control PATH [--removed]
//   vexa-card ctl PATH REQUEST...         one request, prints the reply
//   vexa-card readers                     the PC/SC reader names
//   vexa-card wait READER present|empty [MS]
//   vexa-card hold READER                 exclusive hold until stdin closes
#include <array>
#include <charconv>
#include <iostream>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/card_error.h"
#include "support/option_parser.h"
#include "support/tov_exception.h"
#include "support/version.h"
#include "testbed/card_control_client.h"
#include "testbed/card_emulator.h"
#include "testbed/pcsc_tools.h"

namespace {

using namespace vexa::testbed;

constexpr std::string_view kSynopsis =
    "vexa-card serve --port N --control PATH [--removed]\n"
    "vexa-card ctl PATH REQUEST...\n"
    "vexa-card readers\n"
    "vexa-card wait READER present|empty [MS]\n"
    "vexa-card hold READER";

constexpr std::string_view kDescription = "The test bed's virtual card (serve) and its helpers.";

int usage() {
    vexa::OptionParser({"vexa-card", vexa::kVersion, kSynopsis, kDescription}, {}).printHelp(std::cerr);
    return 2;
}

bool parseNumber(std::string_view text, long& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

constexpr std::array<vexa::OptionSpec, 3> kServeOptions{{
    {"--port", "N", "the vpcd port to connect to", vexa::NumberRange{1, 65535, "a port number"}},
    {"--control", "PATH", "the control socket to serve"},
    {"--removed", "", "start with the card removed"},
}};

int serve(std::span<char*> args) {
    vexa::OptionParser parser({"vexa-card serve", vexa::kVersion, kSynopsis, kDescription}, kServeOptions);
    const auto options = parser.parse(args);
    if (!options) return parser.exitStatus();
    if (!options->has("--port")) return parser.refuse("--port", "required");
    const std::string control(options->value("--control"));
    if (control.empty()) return parser.refuse("--control", "required");
    CardEmulator emulator(static_cast<std::uint16_t>(options->number("--port", 0)), control);
    if (!emulator.run(!options->has("--removed"))) {
        std::cerr << "vexa-card: cannot serve the control socket " << control << "\n";
        return 1;
    }
    return 0;
}

int ctl(std::span<char*> args) {
    if (args.size() < 2) return usage();
    std::string line;
    for (std::size_t i = 1; i < args.size(); ++i) line += (i > 1 ? " " : "") + std::string(args[i]);
    const std::string reply = CardControlClient(args[0]).request(line);
    std::cout << reply << "\n";
    return reply.starts_with("ok") ? 0 : 1;
}

int wait(std::span<char*> args) {
    long ms = 5000;
    if (args.size() < 2 || args.size() > 3 || (args.size() == 3 && !parseNumber(args[2], ms))) return usage();
    const std::string_view what = args[1];
    if (what != "present" && what != "empty") return usage();
    if (waitForCard(args[0], what == "present", std::chrono::milliseconds(ms))) return 0;
    std::cerr << "vexa-card: reader '" << args[0] << "' not " << what << " after " << ms << " ms\n";
    return 1;
}

int dispatch(std::string_view command, std::span<char*> args) {
    if (command == "serve") return serve(args);
    if (command == "ctl") return ctl(args);
    if (command == "wait") return wait(args);
    if (command == "hold" && args.size() == 1) return holdCard(args[0]);
    if (command == "readers" && args.empty()) {
        for (const auto& r : listReaders()) std::cout << r << "\n";
        return 0;
    }
    return usage();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string_view command = argv[1];
    if (command.starts_with("--")) {
        vexa::OptionParser parser({"vexa-card", vexa::kVersion, kSynopsis, kDescription}, {});
        if (!parser.parse(std::span<char*>(argv + 1, 1))) return parser.exitStatus();
    }
    try {
        return dispatch(command, std::span<char*>(argv + 2, static_cast<std::size_t>(argc - 2)));
    } catch (const vexa::TovException& e) {
        std::cerr << "vexa-card: " << e.text() << vexa::connectionErrorSuffix(e.code()) << "\n";
        return 1;
    }
}
