#include "platform/config_home.h"

#include <cstdlib>

namespace vexa::platform {

std::string environmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}

std::string userConfigHome() {
    std::string xdg = environmentValue("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg;
    std::string home = environmentValue("HOME");
    return home.empty() ? home : home + "/.config";
}

std::string machineConfigHome() {
    return "/etc";
}

} // namespace vexa::platform
