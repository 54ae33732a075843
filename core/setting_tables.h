#pragma once

#include <array>
#include <string_view>

#include "cardaccess/card_interfaces.h"
#include "support/name_table.h"
#include "support/tov_log.h"

namespace vexa {

// Enciphers the user's list of admitted sites in its file.
inline constexpr std::string_view kSitesKey = "p3w7m2qxtr516vb4";

inline constexpr const NameTable& kLevelTable = kLogLevelTable;

// The names of the interface table's rows, with UNDEFINED and ALL.
inline constexpr const NameTable& kInterfaceTable = kInterfaceNames;

} // namespace vexa
