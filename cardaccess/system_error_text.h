#pragma once

#include <cstdint>
#include <string>

// Texts for the codes that pass through the card layer unchanged from the
// platform below it: PC/SC codes and Windows Sockets numbers.
namespace vexa {

// English or pcsc-lite text for a PC/SC or Windows Sockets code; "" otherwise.
std::string systemErrorText(std::int32_t code);
// "" for 0, else " (return code <decimal>: <systemErrorText>)".
std::string returnCodeSuffix(std::int32_t code);

} // namespace vexa
