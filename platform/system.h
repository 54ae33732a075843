#pragma once

#include <string_view>

namespace vexa::platform {

// The system the program was built for, where facts differ by system and no
// call is involved (names, places, formulas).
#ifdef _WIN32
inline constexpr bool kWindows = true;
inline constexpr std::string_view kSystemName = "Windows";
#else
inline constexpr bool kWindows = false;
inline constexpr std::string_view kSystemName = "Linux";
#endif

} // namespace vexa::platform
