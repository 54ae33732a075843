#pragma once

#include <string>
#include <string_view>

// Script strings are UTF-8; the plug-in works on narrow Windows-1252 text.
// The five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 controls of the same value, as Windows itself maps them, so
// every narrow text survives the trip to UTF-8 and back unchanged.
namespace vexa {

// Characters Windows-1252 cannot hold and invalid UTF-8 sequences (each
// maximal invalid subpart) become '?'.
std::string utf8ToCp1252(std::string_view utf8);
// Always valid UTF-8; one character per byte.
std::string cp1252ToUtf8(std::string_view narrow);

} // namespace vexa
