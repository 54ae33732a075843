// The `vexa` tool: `vexa shell` answers script calls given as JSON Lines.

#include <array>
#include <exception>
#include <iostream>
#include <span>
#include <string_view>

#include "control/answer_channel.h"
#include "control/shell_session.h"

namespace {

int runShell() {
    // Unsynchronised streams read stdin in blocks instead of byte by byte.
    std::ios::sync_with_stdio(false);
    try {
        vexa::AnswerChannel answers;
        vexa::ShellSession session;
        return session.run(std::cin, answers.stream()) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "vexa shell: " << e.what() << '\n';
        return 1;
    }
}

struct Command {
    std::string_view name;
    int (*run)();
};

constexpr std::array<Command, 1> kCommands = {{
    {"shell", runShell},
}};

int usage() {
    std::cerr << "usage: vexa <command>\n"
                 "commands:\n"
                 "  shell   read script calls as JSON Lines on stdin, answer each on stdout\n"
                 "          call:   {\"id\": 1, \"method\": \"GetVersion\", \"args\": [0]}\n"
                 "          answer: {\"id\": 1, \"result\": \"2.0.0.2\"}\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::span<char*> args(argv, static_cast<std::size_t>(argc));
    if (args.size() == 2) {
        for (const Command& command : kCommands) {
            if (command.name == args[1]) {
                return command.run();
            }
        }
    }
    return usage();
}
