#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexa::pcsc {

// The names in a PC/SC reader list (a multi-string: each name ended by NUL,
// the list by an empty name). A last name cut off without its NUL still
// counts; nothing after the empty name does.
std::vector<std::string> parseReaderList(std::string_view list);

} // namespace vexa::pcsc
