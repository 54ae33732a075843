#pragma once

#include <cstdint>
#include <string>

namespace vexa::pcsc {

// pcsc-lite's text for a PC/SC code (facility 0x8010xxxx) it knows; "" for
// any other code.
std::string errorText(std::int32_t code);

} // namespace vexa::pcsc
