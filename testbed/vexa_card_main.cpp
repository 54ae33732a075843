// vexa-card: the test bed's virtual card and its helpers.
//   vexa-card serve --port N --control PATH [--removed]
//   vexa-card ctl PATH REQUEST...         one request, prints the reply
//   vexa-card readers                     the PC/SC reader names
//   vexa-card wait READER present|empty [MS]
//   vexa-card hold READER                 exclusive hold until stdin closes
#include <charconv>
#include <iostream>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/card_error.h"
#include "support/tov_exception.h"
#include "testbed/card_control_client.h"
#include "testbed/card_emulator.h"
#include "testbed/pcsc_tools.h"

namespace {

using namespace vexa::testbed;

int usage() {
    std::cerr << "usage: vexa-card serve --port N --control PATH [--removed]\n"
                 "       vexa-card ctl PATH REQUEST...\n"
                 "       vexa-card readers\n"
                 "       vexa-card wait READER present|empty [MS]\n"
                 "       vexa-card hold READER\n";
    return 2;
}

bool parseNumber(std::string_view text, long& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

int serve(std::span<char*> args) {
    long port = 0;
    std::string control;
    bool insert = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--port" && i + 1 < args.size() && parseNumber(args[i + 1], port))
            ++i;
        else if (a == "--control" && i + 1 < args.size())
            control = args[++i];
        else if (a == "--removed")
            insert = false;
        else
            return usage();
    }
    if (port <= 0 || port > 65535 || control.empty()) return usage();
    CardEmulator emulator(static_cast<std::uint16_t>(port), control);
    if (!emulator.run(insert)) {
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
    try {
        return dispatch(argv[1], std::span<char*>(argv + 2, static_cast<std::size_t>(argc - 2)));
    } catch (const vexa::TovException& e) {
        std::cerr << "vexa-card: " << e.text() << vexa::connectionErrorSuffix(e.code()) << "\n";
        return 1;
    }
}
