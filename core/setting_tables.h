#pragma once

#include <array>
#include <string_view>

#include "support/name_table.h"

namespace vexa {

enum InterfaceType : std::int32_t {
    INTERFACE_UNDEFINED = 0,
    INTERFACE_PCSC = 1,
    INTERFACE_REMOTE_PCSC = 2,
    INTERFACE_CTAPI = 3,
    INTERFACE_ALL = 4,
};

// Enciphers the user's list of admitted sites in its file.
inline constexpr std::string_view kSitesKey = "p3w7m2qxtr516vb4";

inline constexpr std::array<NamedValue, 9> kLevelPairs = {{
    {"UNDEFINED", 0}, {"TRACE", 1}, {"DEBUG", 2}, {"INFO", 3}, {"WARNING", 4},
    {"ERROR", 5}, {"FATAL", 6}, {"LOG", 7}, {"OFF", 8},
}};
inline constexpr NameTable kLevelTable{kLevelPairs};

inline constexpr std::array<NamedValue, 5> kInterfacePairs = {{
    {"UNDEFINED", INTERFACE_UNDEFINED}, {"PCSC", INTERFACE_PCSC}, {"REMOTE_PCSC", INTERFACE_REMOTE_PCSC},
    {"CTAPI", INTERFACE_CTAPI}, {"ALL", INTERFACE_ALL},
}};
inline constexpr NameTable kInterfaceTable{kInterfacePairs};

} // namespace vexa
