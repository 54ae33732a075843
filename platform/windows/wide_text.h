#pragma once

#include <string>
#include <string_view>

namespace vexa::platform {

// The system's W calls take UTF-16; the rest of the tree speaks UTF-8.
// Invalid sequences become U+FFFD rather than failing the call.
std::wstring wideText(std::string_view text);
std::string narrowText(std::wstring_view text);

} // namespace vexa::platform
