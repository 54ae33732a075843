#include "shell/shell_question.h"

#include <string>

#include "platform/terminal.h"
#include "support/codepage.h"

namespace vexa {
namespace {

// Standard input carries the calls, so the question goes to the terminal.
bool askOnTerminal(std::string_view caption, std::string_view text) {
    const auto reply = platform::askOnTerminal(cp1252ToUtf8(caption) + ": " + cp1252ToUtf8(text) +
                                               "\n[OK/Abbrechen] (Abbrechen): ");
    return reply && (*reply == "OK" || *reply == "ok" || *reply == "Ok");
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
