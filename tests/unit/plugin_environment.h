#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "core/chip_card_plugin.h"
#include "platform/registry.h"
#include "temp_files.h"

namespace vexa::testing {

// A throwaway user: its own home, config home and current directory, with
// the Windows-style variables unset (on Windows, APPDATA is the config home).
// Restores everything when it ends.
class PluginEnvironment {
public:
    PluginEnvironment() {
        home = test_support::makeUniqueDirectory(std::filesystem::temp_directory_path(), "vexa-home-");
        configHome = home / ".config";
        std::filesystem::create_directories(configHome);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "APPDATA", "USERPROFILE", "windir"}) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
            test_support::setVariable(name, std::nullopt);
        }
        test_support::setVariable("HOME", home.string());
        test_support::setVariable("XDG_CONFIG_HOME", configHome.string());
#ifdef _WIN32
        test_support::setVariable("APPDATA", configHome.string());
#endif
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(home);
    }
    ~PluginEnvironment() {
        if (!createdKey_.empty()) platform::deleteRegistryKey(platform::RegistryRoot::CurrentUser, createdKey_);
        std::filesystem::current_path(oldCwd_);
        for (const auto& [name, value] : saved_) test_support::setVariable(name.c_str(), value);
        std::filesystem::remove_all(home);
    }

    void writeFile(const std::filesystem::path& path, const std::string& content) const {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    static std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::filesystem::path meridan() const { return configHome / "MERIDAN"; }

    // Whether the plug-in's settings key is this test's alone: the Windows
    // registry is the machine's, and a test neither changes nor depends on an
    // installation's key.
    static bool settingsKeyFree() {
        using platform::RegistryRoot;
        return !platform::kSystemRegistry ||
               (!platform::readRegistryText(RegistryRoot::CurrentUser, kSettingsKey, "") &&
                !platform::readRegistryText(RegistryRoot::LocalMachine, kSettingsKey, ""));
    }
    static constexpr std::string_view kSettingsKeyTaken =
        "The registry holds an installation's settings key, which a test leaves alone";

    // Puts "NAME=VALUE" lines into the user's settings key: its file, or on
    // Windows the registry key, removed again when the environment ends.
    // False, writing nothing, when the key is not free.
    bool writeSettingsKey(const std::string& lines) {
        if (!platform::kSystemRegistry) {
            writeFile(meridan() / "VEXA" / "registry.conf", lines);
            return true;
        }
        constexpr auto user = platform::RegistryRoot::CurrentUser;
        if (createdKey_.empty()) {
            if (!settingsKeyFree()) return false;
            createdKey_ = platform::readRegistryText(user, kCompanyKey, "") ? kSettingsKey : kCompanyKey;
        }
        bool written = platform::writeRegistryText(user, kSettingsKey, "", ""); // the key, also without values
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);)
            if (const auto equals = line.find('='); equals != std::string::npos)
                written &=
                    platform::writeRegistryText(user, kSettingsKey, line.substr(0, equals), line.substr(equals + 1));
        return written;
    }

    std::filesystem::path home;
    std::filesystem::path configHome;

private:
    static constexpr const char* kCompanyKey = "Software\\MERIDAN";
    static constexpr const char* kSettingsKey = "Software\\MERIDAN\\VEXA";

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    std::filesystem::path oldCwd_;
    std::string createdKey_;
};

// A user who answers the site question as told and remembers the question.
class ScriptedUser : public UserQuestion {
public:
    explicit ScriptedUser(bool answer = false) : answer_(answer) {}

    bool ask(std::string_view caption, std::string_view text) override {
        ++questions;
        lastCaption = caption;
        lastQuestion = text;
        return answer_;
    }
    int questions = 0;
    std::string lastQuestion;
    std::string lastCaption;

protected:
    bool answer_;
};

// A plug-in with a scripted page address and answer to the site question.
class ScriptedPlugin : public ScriptedUser, public ChipCardPlugin {
public:
    explicit ScriptedPlugin(std::string address = {}, bool answer = false)
        : ScriptedUser(answer), ChipCardPlugin(PageIdentity{std::move(address)}, *this) {}

    void start() { loadConfiguration({.clientText = "Test client"}); }
    void setPage(std::string address, bool answer, std::string origin = {}) {
        page_ = PageIdentity{std::move(address), {}, std::move(origin)};
        answer_ = answer;
    }
    std::int32_t currentInterface() const { return interfaceType; }
    const std::string& userSites() const { return allowedSites; }
};

} // namespace vexa::testing
