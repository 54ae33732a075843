#pragma once

#include <array>
#include <string_view>

#include "cardaccess/card_interfaces.h"
#include "support/name_table.h"
#include "support/tov_log.h"

namespace vexa {

// The keys of the main configuration file; SetMode and GetMode take the log
// level's and the interface's as parameter names too.
inline constexpr std::string_view kLogLevelKey = "LOGLEVEL";
inline constexpr std::string_view kLogFileKey = "LOGFILE";
inline constexpr std::string_view kInterfaceKey = "INTERFACE";
inline constexpr std::string_view kRemoteServersKey = "REMOTE_PCSC_SERVER";

// Enciphers the user's list of admitted sites in its file.
inline constexpr std::string_view kSitesKey = "p3w7m2qxtr516vb4";

inline constexpr const NameTable& kLevelTable = kLogLevelTable;

// The names of the interface table's rows, with UNDEFINED and ALL.
inline constexpr const NameTable& kInterfaceTable = kInterfaceNames;

} // namespace vexa
