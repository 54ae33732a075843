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
// The servers of REMOTE_PCSC_SERVER reached through TLS, and this user's TLS
// files; relative names are in kRemoteTlsFolder beside the configuration
// file.
inline constexpr std::string_view kRemoteTlsServersKey = "REMOTE_PCSC_TLS_SERVER";
inline constexpr std::string_view kRemoteTlsCaKey = "REMOTE_PCSC_TLS_CA";
inline constexpr std::string_view kRemoteTlsCertificateKey = "REMOTE_PCSC_TLS_CERT";
inline constexpr std::string_view kRemoteTlsKeyKey = "REMOTE_PCSC_TLS_KEY";
inline constexpr std::string_view kRemoteTlsFolder = "remote-pcsc";
inline constexpr std::string_view kRemoteTlsCaDefault = "ca.pem";
inline constexpr std::string_view kRemoteTlsCertificateDefault = "client.pem";
inline constexpr std::string_view kRemoteTlsKeyDefault = "client.key";

// Enciphers the user's list of admitted sites in its file.
inline constexpr std::string_view kSitesKey = "p3w7m2qxtr516vb4";

inline constexpr const NameTable& kLevelTable = kLogLevelTable;

// The names of the interface table's rows, with UNDEFINED and ALL.
inline constexpr const NameTable& kInterfaceTable = kInterfaceNames;

} // namespace vexa
