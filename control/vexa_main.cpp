// The `vexa` tool: `vexa shell` answers script calls given as JSON Lines;
// `vexa request` builds and reads server requests.

#include <array>
#include <exception>
#include <iostream>
#include <optional>
#include <span>
#include <string_view>

#include "control/answer_channel.h"
#include "control/log_tool.h"
#include "control/readers_tool.h"
#include "control/request_tool.h"
#include "control/shell_session.h"
#include "control/sites_tool.h"
#include "core/version.h"

namespace {

using Args = std::span<char*>;

std::optional<vexa::ShellAnswer> parseAnswer(std::string_view text) {
    if (text == "yes") return vexa::ShellAnswer::Yes;
    if (text == "no") return vexa::ShellAnswer::No;
    if (text == "ask") return vexa::ShellAnswer::Ask;
    return std::nullopt;
}

// Options of `vexa shell`; nullopt (after a message) for anything unknown.
std::optional<vexa::ShellOptions> parseShellOptions(Args args) {
    vexa::ShellOptions options;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const std::string_view option = args[i];
        if (i + 1 >= args.size()) {
            std::cerr << "vexa shell: " << option << " needs a value\n";
            return std::nullopt;
        }
        const std::string_view value = args[i + 1];
        if (option == "--url") {
            options.url = value;
        } else if (option == "--origin") {
            options.origin = value;
        } else if (option == "--answer") {
            auto answer = parseAnswer(value);
            if (!answer) {
                std::cerr << "vexa shell: --answer takes yes, no or ask, not '" << value << "'\n";
                return std::nullopt;
            }
            options.answer = *answer;
        } else {
            std::cerr << "vexa shell: unknown option '" << option << "'\n";
            return std::nullopt;
        }
    }
    return options;
}

int usage() {
    std::cerr << "usage: vexa shell [--url URL] [--origin ORIGIN] [--answer yes|no|ask]\n"
                 "       vexa request build|read ...   (vexa request: details)\n"
                 "  Reads script calls as JSON Lines on stdin and answers each on stdout.\n"
                 "    call:   {\"id\": 1, \"method\": \"GetVersion\", \"args\": [0]}\n"
                 "    answer: {\"id\": 1, \"result\": \""
              << vexa::kVersion
              << "\"}\n"
                 "  --url     the page address that Open checks (default: none)\n"
                 "  --origin  the origin a browser gives for the page's frame (default: none);\n"
                 "            \"null\" is refused, and about:, blob: and data: pages are\n"
                 "            judged by it\n"
                 "  --answer  how the site question of Open is answered: yes, no (default),\n"
                 "            or ask on the terminal\n";
    return 2;
}

int runShell(Args args) {
    const auto options = parseShellOptions(args);
    if (!options) return usage();
    // Unsynchronised streams read stdin in blocks instead of byte by byte.
    std::ios::sync_with_stdio(false);
    try {
        vexa::AnswerChannel answers;
        vexa::ShellSession session(*options);
        return session.run(std::cin, answers.stream()) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "vexa shell: " << e.what() << '\n';
        return 1;
    }
}

int runRequest(Args args) {
    return vexa::runRequestTool(args, std::cin, std::cout, std::cerr);
}

struct Command {
    std::string_view name;
    int (*run)(Args args);
};

constexpr std::array<Command, 5> kCommands = {{
    {"shell", runShell},
    {"request", runRequest},
    {"readers", [](Args args) { return vexa::runReadersTool(args, std::cout, std::cerr); }},
    {"sites", [](Args args) { return vexa::runSitesTool(args, std::cout, std::cerr); }},
    {"log", [](Args args) { return vexa::runLogTool(args, std::cout, std::cerr); }},
}};

} // namespace

int main(int argc, char** argv) {
    const Args args(argv, static_cast<std::size_t>(argc));
    if (args.size() >= 2) {
        for (const Command& command : kCommands) {
            if (command.name == args[1]) return command.run(args.subspan(2));
        }
        std::cerr << "vexa: unknown command '" << args[1] << "'\n";
    }
    return usage();
}
