#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/chip_card_plugin.h"

namespace vexa::testing {

// A throwaway user: its own home, config home and current directory, with
// the Windows-style variables unset. Restores everything when it ends.
class PluginEnvironment {
public:
    PluginEnvironment() {
        char pattern[] = "/tmp/vexa-home-XXXXXX";
        home = mkdtemp(pattern);
        configHome = home / ".config";
        std::filesystem::create_directories(configHome);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "APPDATA", "USERPROFILE", "windir"}) {
            const char* value = std::getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
            unsetenv(name);
        }
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(home);
    }
    ~PluginEnvironment() {
        std::filesystem::current_path(oldCwd_);
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
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

    std::filesystem::path home;
    std::filesystem::path configHome;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    std::filesystem::path oldCwd_;
};

// A plug-in with a scripted page address and answer to the site question.
class ScriptedPlugin : public ChipCardPlugin {
public:
    explicit ScriptedPlugin(std::string address = {}, bool answer = false)
        : address_(std::move(address)), answer_(answer) {}

    void start() { loadConfiguration({.clientText = "Test client"}); }
    void setPage(std::string address, bool answer, std::string origin = {}) {
        address_ = std::move(address);
        answer_ = answer;
        origin_ = std::move(origin);
    }
    int questions = 0;
    std::string lastQuestion;
    std::string lastCaption;
    std::int32_t currentInterface() const { return interfaceType; }
    const std::string& userSites() const { return allowedSites; }

protected:
    std::string pageAddress() override { return address_; }
    std::string pageOrigin() override { return origin_; }
    bool askUser(std::string_view caption, std::string_view text) override {
        ++questions;
        lastCaption = caption;
        lastQuestion = text;
        return answer_;
    }

private:
    std::string address_;
    bool answer_;
    std::string origin_;
};

} // namespace vexa::testing
