#pragma once

#include <array>
#include <string_view>

#include "cardaccess/interface_type.h"
#include "support/name_table.h"
#include "support/tov_log.h"

namespace vexa {

// Enciphers the user's list of admitted sites in its file.
inline constexpr std::string_view kSitesKey = "p3w7m2qxtr516vb4";

inline constexpr const NameTable& kLevelTable = kLogLevelTable;

inline constexpr std::array<NamedValue, 5> kInterfacePairs = {{
    {"UNDEFINED", INTERFACE_UNDEFINED},
    {"PCSC", INTERFACE_PCSC},
    {"REMOTE_PCSC", INTERFACE_REMOTE_PCSC},
    {"CTAPI", INTERFACE_CTAPI},
    {"ALL", INTERFACE_ALL},
}};
inline constexpr NameTable kInterfaceTable{kInterfacePairs};

} // namespace vexa
