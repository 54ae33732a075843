#pragma once

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/tov_exception.h"

namespace vexa {

// A pcsc-lite result as the system's signed 32-bit code: pcsc-lite's LONG is
// 64 bits wide on Linux and holds 0x8010000B as a positive number.
inline std::int32_t pcscCode(LONG result) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
}

// The one checked call of the SCard API: success passes, a failure is thrown
// as TovException with its code and the text its log line starts with.
inline void checkPcsc(LONG result, std::string_view failureText) {
    if (result != SCARD_S_SUCCESS) throw TovException(pcscCode(result), std::string(failureText));
}

// The same with a text built only when the call failed.
template <typename TextFn>
requires std::is_invocable_r_v<std::string, TextFn>
void checkPcsc(LONG result, TextFn&& failureText) {
    if (result != SCARD_S_SUCCESS) throw TovException(pcscCode(result), std::forward<TextFn>(failureText)());
}

} // namespace vexa
