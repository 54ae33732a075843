#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexa::platform {

// Asks the person at the terminal while standard input and output carry
// other traffic: shows prompt (UTF-8) and takes one line of reply without its
// line end; nullopt when the process has no terminal or it ends first.
std::optional<std::string> askOnTerminal(std::string_view prompt);

} // namespace vexa::platform
