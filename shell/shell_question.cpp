#include "shell/shell_question.h"

#include <fstream>
#include <string>

#include "support/codepage.h"

namespace vexa {
namespace {

// Standard input carries the calls, so the question goes to the terminal.
bool askOnTerminal(std::string_view caption, std::string_view text) {
    std::fstream tty("/dev/tty", std::ios::in | std::ios::out);
    if (!tty) return false;
    tty << cp1252ToUtf8(caption) << ": " << cp1252ToUtf8(text) << "\n[OK/Abbrechen] (Abbrechen): " << std::flush;
    std::string reply;
    if (!std::getline(tty, reply)) return false;
    return reply == "OK" || reply == "ok" || reply == "Ok";
}

} // namespace

bool ShellQuestion::ask(std::string_view caption, std::string_view text) {
    switch (answer_) {
        case ShellAnswer::Yes:
            return true;
        case ShellAnswer::Ask:
            return askOnTerminal(caption, text);
        case ShellAnswer::No:
            break;
    }
    return false;
}

} // namespace vexa
