#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// The Windows registry keys the system reads: on Windows the registry itself,
// elsewhere KEY=VALUE files: HKEY_CURRENT_USER\Software\A\B is
// <config home>/A/B/registry.conf, where the config home is XDG_CONFIG_HOME or
// $HOME/.config, and HKEY_LOCAL_MACHINE's is /etc/A/B/registry.conf.
enum class RegistryHive { CurrentUser, LocalMachine };

// The file standing for a key such as "Software\MERIDAN\VEXA" where the
// system has no registry.
std::string registryKeyPath(RegistryHive hive, std::string_view key);

// The string value of a key; nullopt when the key (the file) cannot be opened
// or does not hold the value.
std::optional<std::string> readRegistryString(RegistryHive hive, std::string_view key, std::string_view value);

// A value looked up under HKEY_CURRENT_USER, and under HKEY_LOCAL_MACHINE only
// when the user's key cannot be opened. A key's file is read only when it
// passes the trust rule (file_trust.h), and other values in it are passed
// over; refusal, when given, receives why a key's file was not read ("" when
// none was refused, and always with the system's registry).
std::optional<std::string> readUserOrMachineString(std::string_view key, std::string_view value,
                                                   std::string* refusal = nullptr);

} // namespace vexa
