#pragma once

#include <cstdint>
#include <string>

namespace vexa::pcsc {

// The PC/SC library's text for a PC/SC code (facility 0x8010xxxx) it knows;
// "" for any other code.
std::string errorText(std::int32_t code);

// The library's text for any result, as it gives it (pcsc-lite names unknown
// codes "Unknown error: 0x..."; Windows' message table has no text for them,
// which gives the code in hex).
std::string libraryText(std::int32_t code);

} // namespace vexa::pcsc
