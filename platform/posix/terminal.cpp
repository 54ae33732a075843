#include "platform/terminal.h"

#include <fstream>

namespace vexa::platform {

std::optional<std::string> askOnTerminal(std::string_view prompt) {
    std::fstream tty("/dev/tty", std::ios::in | std::ios::out);
    if (!tty) return std::nullopt;
    tty << prompt << std::flush;
    std::string reply;
    if (!std::getline(tty, reply)) return std::nullopt;
    return reply;
}

} // namespace vexa::platform
