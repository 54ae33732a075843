// The `vexa` tool: `vexa shell` answers script calls given as JSON Lines;
// `vexa request` builds and reads server requests; the other commands work
// beside the plug-in.

#include <algorithm>
#include <array>
#include <exception>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/answer_channel.h"
#include "platform/command_line.h"
#include "platform/std_streams.h"
#include "shell/shell_session.h"
#include "support/option_parser.h"
#include "support/version.h"
#include "tools/log_tool.h"
#include "tools/readers_tool.h"
#include "tools/remote_pcsc_tool.h"
#include "tools/request_tool.h"
#include "tools/sites_tool.h"

namespace {

using Args = std::span<char*>;

constexpr std::array<vexa::OptionSpec, 3> kShellOptions{{
    {"--url", "URL", "the page address that Open checks (default: none)"},
    {"--origin", "ORIGIN",
     "the origin a browser gives for the page's frame (default:\n"
     "none); \"null\" is refused, and about:, blob: and data: pages\n"
     "are judged by it"},
    {"--answer", "WORD", "how the site question of Open is answered: yes, no (default),\nor ask on the terminal",
     std::nullopt, "yes|no|ask"},
}};

int runShell(Args args) {
    static const std::string description =
        "Reads script calls as JSON Lines on stdin and answers each on stdout.\n"
        "  call:   {\"id\": 1, \"method\": \"GetVersion\", \"args\": [0]}\n"
        "  answer: {\"id\": 1, \"result\": \"" +
        std::string(vexa::kVersion) + "\"}";
    vexa::OptionParser parser(
        {"vexa shell", vexa::kVersion, "vexa shell [--url URL] [--origin ORIGIN] [--answer yes|no|ask]", description},
        kShellOptions);
    const auto parsed = parser.parse(args);
    if (!parsed) return parser.exitStatus();
    vexa::ShellOptions options;
    options.url = parsed->value("--url");
    options.origin = parsed->value("--origin");
    const std::string_view answer = parsed->value("--answer", "no");
    options.answer = answer == "yes"   ? vexa::ShellAnswer::Yes
                     : answer == "ask" ? vexa::ShellAnswer::Ask
                                       : vexa::ShellAnswer::No;
    try {
        vexa::AnswerChannel answers;
        vexa::ShellSession session(options);
        // Read where the session waits: through standardInput(), in blocks.
        vexa::platform::StandardInputBuffer inputBuffer;
        std::istream input(&inputBuffer);
        return session.run(input, answers.stream(), vexa::platform::standardInput()) ? 0 : 1;
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
    std::string_view synopsis; // after "vexa "
    std::string_view summary;  // one line for `vexa --help`
    int (*run)(Args args);
};

constexpr std::array<Command, 6> kCommands = {{
    {"shell", "shell [--url URL] [--origin ORIGIN] [--answer yes|no|ask]",
     "answer script calls given as JSON Lines on stdin", runShell},
    {"request", "request build|read ...", "build and read server requests of ExecuteRequest", runRequest},
    {"readers", "readers [--watch]", "show the readers and cards through the configured interface",
     [](Args args) { return vexa::runReadersTool(args, std::cout, std::cerr); }},
    {"sites", "sites list|remove URL|clear", "show or revoke the sites admitted to the readers",
     [](Args args) { return vexa::runSitesTool(args, std::cout, std::cerr); }},
    {"log", "log on [LEVEL]|off|show", "turn the log on or off, show its end",
     [](Args args) { return vexa::runLogTool(args, std::cout, std::cerr); }},
    {"remote-pcsc", "remote-pcsc fingerprint", "print this user's certificate fingerprint for TLS servers",
     [](Args args) { return vexa::runRemotePcscTool(args, std::cout, std::cerr); }},
}};

// `vexa` alone: --help, --version, and the list of commands.
vexa::OptionParser topParser(std::string& synopsis, std::string& description) {
    description = "Commands:\n";
    for (const Command& command : kCommands) {
        synopsis += (synopsis.empty() ? "vexa " : "\nvexa ") + std::string(command.synopsis);
        std::string name(command.name);
        name.resize(std::max<std::size_t>(name.size() + 2, 10), ' ');
        description += "  " + name + std::string(command.summary) + '\n';
    }
    description += "'vexa COMMAND --help' tells more about each.";
    return vexa::OptionParser({"vexa", vexa::kVersion, synopsis, description, 1}, {});
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> texts = vexa::platform::programArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    const Args args(pointers);
    if (!args.empty()) {
        for (const Command& command : kCommands) {
            if (command.name == args[0]) return command.run(args.subspan(1));
        }
    }
    std::string synopsis;
    std::string description;
    vexa::OptionParser parser = topParser(synopsis, description);
    if (args.empty()) {
        parser.printHelp(std::cerr);
        return 2;
    }
    // An option before any command, or a command that does not exist.
    if (!parser.parse(args.first(1))) return parser.exitStatus();
    return parser.refuse(args[0], "unknown command");
}
