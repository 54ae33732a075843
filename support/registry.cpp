#include "support/registry.h"

#include <sys/stat.h>

#include <cstdlib>

#include "support/tov_conf.h"

namespace vexa {
namespace {

// A value read from a file never holds a line feed, so it marks "not present".
constexpr std::string_view kAbsent = "\n";

std::string userConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

bool keyExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

std::string registryKeyPath(RegistryHive hive, std::string_view key) {
    std::string relative(key);
    if (relative.starts_with("Software\\")) relative.erase(0, 9);
    for (char& c : relative)
        if (c == '\\') c = '/';
    const std::string base = hive == RegistryHive::CurrentUser ? userConfigHome() : std::string("/etc");
    return base + "/" + relative + "/registry.conf";
}

std::optional<std::string> readRegistryString(RegistryHive hive, std::string_view key, std::string_view value) {
    const std::string path = registryKeyPath(hive, key);
    if (!keyExists(path)) return std::nullopt;
    const ConfParameter row{std::string(value), ConfParameter::Text, std::string(kAbsent), 0, nullptr};
    TovConf conf;
    int line = 0;
    std::string text;
    if (conf.load("", "", path, std::span(&row, 1), line) != TovConf::Ok || conf.getText(value, text) != 0 ||
        text == kAbsent)
        return std::nullopt;
    return text;
}

std::optional<std::string> readUserOrMachineString(std::string_view key, std::string_view value) {
    if (keyExists(registryKeyPath(RegistryHive::CurrentUser, key)))
        return readRegistryString(RegistryHive::CurrentUser, key, value);
    return readRegistryString(RegistryHive::LocalMachine, key, value);
}

} // namespace vexa
