#include "control/shell_control.h"

#include <fstream>

#include "control/codepage.h"

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

ShellControl::ShellControl(ShellOptions options) : options_(std::move(options)) {}

std::string ShellControl::pageAddress() {
    return utf8ToCp1252(options_.url);
}

std::string ShellControl::pageOrigin() {
    return utf8ToCp1252(options_.origin);
}

bool ShellControl::askUser(std::string_view caption, std::string_view text) {
    switch (options_.answer) {
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
