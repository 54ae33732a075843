#include "platform/registry.h"

namespace vexa::platform {

const bool kSystemRegistry = false;

std::optional<std::optional<std::string>> readRegistryText(RegistryRoot, std::string_view, std::string_view) {
    return std::nullopt;
}

bool writeRegistryText(RegistryRoot, std::string_view, std::string_view, std::string_view) {
    return false;
}

bool deleteRegistryKey(RegistryRoot, std::string_view) {
    return false;
}

} // namespace vexa::platform
