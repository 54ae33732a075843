#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>

#include "support/call_error.h"

namespace vexa::pcsc {

// A pcsc-lite result as the system's signed 32-bit code: pcsc-lite's LONG is
// 64 bits wide on Linux and holds 0x8010000B as a positive number.
constexpr std::int32_t code(LONG result) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
}

} // namespace vexa::pcsc
