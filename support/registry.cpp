#include "support/registry.h"

#include "platform/config_home.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "support/tov_conf.h"

namespace vexa {
namespace {

// A value read from a file never holds a line feed, so it marks "not present".
constexpr std::string_view kAbsent = "\n";

// nullopt when the key cannot be opened; an empty optional inside when it
// does not hold the value.
using KeyRead = std::optional<std::optional<std::string>>;

// Without HOME the user's keys still get a fixed place.
std::string userKeyHome() {
    const std::string home = platform::userConfigHome();
    return home.empty() ? "/.config" : home;
}

bool keyExists(const std::string& path) {
    const auto facts = platform::factsOf(path);
    return facts && facts->isRegular;
}

} // namespace

std::string registryKeyPath(RegistryHive hive, std::string_view key) {
    std::string relative(key);
    if (relative.starts_with("Software\\")) relative.erase(0, 9);
    for (char& c : relative)
        if (c == '\\') c = '/';
    const std::string base = hive == RegistryHive::CurrentUser ? userKeyHome() : platform::machineConfigHome();
    return base + "/" + relative + "/registry.conf";
}

namespace {

// The value as the key's file holds it, kAbsent when the file does not hold
// it; nullopt when the file cannot be opened (refusal then says why when it
// is refused for the trust rule).
std::optional<std::string> readKeyFile(RegistryHive hive, std::string_view key, std::string_view value,
                                       std::string& refusal) {
    const std::string path = registryKeyPath(hive, key);
    if (!keyExists(path)) return std::nullopt;
    const ConfParameter row{std::string(value), ConfParameter::Text, std::string(kAbsent), 0, nullptr};
    TovConf conf;
    // A key holds whatever values other programs or the administrator put
    // there; only the one asked for matters.
    conf.setUnknownKeysSkipped(true);
    int line = 0;
    const int result = conf.load("", "", path, std::span(&row, 1), line);
    if (result == TovConf::Refused) refusal = "Not using registry file '" + path + "': " + conf.refusal();
    if (result == TovConf::Refused || result == TovConf::CannotOpen) return std::nullopt;
    std::string text;
    if (result != TovConf::Ok || conf.getText(value, text) != 0) return std::string(kAbsent);
    return text;
}

// The system's registry where there is one, else the key's file.
KeyRead readKey(RegistryHive hive, std::string_view key, std::string_view value, std::string& refusal) {
    if (platform::kSystemRegistry) {
        const auto root = hive == RegistryHive::CurrentUser ? platform::RegistryRoot::CurrentUser
                                                            : platform::RegistryRoot::LocalMachine;
        return platform::readRegistryText(root, key, value);
    }
    std::optional<std::string> text = readKeyFile(hive, key, value, refusal);
    if (!text) return std::nullopt;
    if (text == kAbsent) return std::optional<std::string>();
    return text;
}

std::optional<std::string> present(KeyRead text) {
    return text ? *text : std::nullopt;
}

} // namespace

std::optional<std::string> readRegistryString(RegistryHive hive, std::string_view key, std::string_view value) {
    std::string refusal;
    return present(readKey(hive, key, value, refusal));
}

std::optional<std::string> readUserOrMachineString(std::string_view key, std::string_view value, std::string* refusal) {
    std::string why;
    KeyRead text = readKey(RegistryHive::CurrentUser, key, value, why);
    if (!text) text = readKey(RegistryHive::LocalMachine, key, value, why);
    if (refusal) *refusal = why;
    return present(text);
}

} // namespace vexa
