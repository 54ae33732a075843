#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexa::platform {

// Whether the system keeps settings in a registry of its own (Windows);
// elsewhere the callers keep them in files and the calls below do nothing.
extern const bool kSystemRegistry;

enum class RegistryRoot { CurrentUser, LocalMachine };

// A text value (expanded when it names environment variables) of a key such
// as "Software\MERIDAN\VEXA", in UTF-8; value "" names the key's default
// value. nullopt when the key cannot be opened; an empty optional inside when
// the key exists without that value (or holds no text there).
std::optional<std::optional<std::string>> readRegistryText(RegistryRoot root, std::string_view key,
                                                           std::string_view value);

// Puts a text value, creating the key and its parents as needed.
bool writeRegistryText(RegistryRoot root, std::string_view key, std::string_view value, std::string_view text);

// Removes the key with its values and subkeys; true when it is gone (or was
// never there).
bool deleteRegistryKey(RegistryRoot root, std::string_view key);

} // namespace vexa::platform
