#include "host/host_registration.h"

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/config_home.h"
#include "platform/system.h"
#include "plugin_environment.h"

using namespace vexa;
using vexa::testing::PluginEnvironment;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHostPath = "/opt/vexa/bin/vexa-host";

class HostRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The registration's log goes where the plug-in's log goes.
        env.writeFile(env.meridan() / "vexa_ie.conf", "LOGLEVEL=INFO\n");
    }
    std::vector<ManifestTarget> targets() const { return userManifestTargets(env.home, env.configHome); }
    std::vector<fs::path> manifests() const {
        std::vector<fs::path> paths;
        for (const auto& target : targets()) paths.push_back(target.directory / kManifestFileName);
        return paths;
    }
    std::string log() const { return PluginEnvironment::readFile(env.meridan() / "vexa_ie.log"); }
    bool logHas(std::string_view level, std::string_view text) const {
        return log().find(std::string(level) + std::string(8 - level.size(), ' ') + std::string(text) + " \n") !=
               std::string::npos;
    }

    PluginEnvironment env;
};

fs::perms modeOf(const fs::path& path) {
    return fs::status(path).permissions();
}

#ifdef _WIN32
fs::path fromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

// Chrome, Edge, Chromium and Firefox each find the manifest in folder (the
// Firefox one below it) through a key of their own, which a registration on
// Windows writes; the registry itself is left alone here.
void expectWindowsTargets(const std::vector<ManifestTarget>& targets, const fs::path& folder, bool machineWide) {
    const std::string suffix = "\\NativeMessagingHosts\\" + std::string(kHostName);
    ASSERT_EQ(targets.size(), 4u);
    const struct {
        const char* browser;
        fs::path directory;
        ManifestForm form;
        std::string key;
    } expected[] = {
        {"Google Chrome", folder, ManifestForm::Chromium, "Software\\Google\\Chrome" + suffix},
        {"Microsoft Edge", folder, ManifestForm::Chromium, "Software\\Microsoft\\Edge" + suffix},
        {"Chromium", folder, ManifestForm::Chromium, "Software\\Chromium" + suffix},
        {"Firefox", folder / "firefox", ManifestForm::Firefox, "Software\\Mozilla" + suffix},
    };
    for (std::size_t i = 0; i < targets.size(); ++i) {
        EXPECT_EQ(targets[i].browser, expected[i].browser);
        EXPECT_EQ(targets[i].directory, expected[i].directory) << expected[i].browser;
        EXPECT_EQ(targets[i].form, expected[i].form) << expected[i].browser;
        EXPECT_EQ(targets[i].registryKey, expected[i].key);
        EXPECT_EQ(targets[i].machineWide, machineWide) << expected[i].browser;
    }
}
#endif

} // namespace

TEST_F(HostRegistrationTest, ManifestDirectoriesPerScope) {
    if (platform::kWindows) GTEST_SKIP() << "The Linux manifest directories; Windows has a case of its own";
    const auto user = userManifestTargets("/home/u", "/xdg");
    ASSERT_EQ(user.size(), 3u);
    EXPECT_EQ(user[0].directory, "/xdg/chromium/NativeMessagingHosts");
    EXPECT_EQ(user[1].directory, "/xdg/google-chrome/NativeMessagingHosts");
    EXPECT_EQ(user[2].directory, "/home/u/.mozilla/native-messaging-hosts");
    // A relative XDG_CONFIG_HOME is ignored, as the browsers ignore it.
    EXPECT_EQ(userManifestTargets("/home/u", "rel")[0].directory, "/home/u/.config/chromium/NativeMessagingHosts");

    const auto system = systemManifestTargets();
    ASSERT_EQ(system.size(), 3u);
    EXPECT_EQ(system[0].directory, "/etc/chromium/native-messaging-hosts");
    EXPECT_EQ(system[1].directory, "/etc/opt/chrome/native-messaging-hosts");
    EXPECT_EQ(system[2].directory, "/usr/lib/mozilla/native-messaging-hosts");
    EXPECT_EQ(system[2].form, ManifestForm::Firefox);

    const auto profile = profileManifestTargets("/tmp/profile");
    ASSERT_EQ(profile.size(), 1u);
    EXPECT_EQ(profile[0].directory, "/tmp/profile/NativeMessagingHosts");
}

// Registered only where it applies, so that no Linux run shows it skipped.
#ifdef _WIN32
TEST_F(HostRegistrationTest, WindowsManifestsLieInVexasFolderAndAreNamedByKeys) {
    expectWindowsTargets(currentUserManifestTargets(), fromUtf8(platform::userConfigHome()) / "MERIDAN" / "VEXA",
                         false);
    expectWindowsTargets(systemManifestTargets(), fromUtf8(platform::machineConfigHome()) / "MERIDAN" / "VEXA", true);
}
#endif

TEST_F(HostRegistrationTest, RegisterWritesEveryManifestAndUnregisterRemovesThem) {
    HostRegistration registration(targets(), kHostPath);
    EXPECT_EQ(registration.registerHost(), 0);
    EXPECT_EQ(registration.registerHost(), 0); // again over the old manifests
    for (const auto& target : targets()) {
        const fs::path path = target.directory / kManifestFileName;
        ASSERT_TRUE(fs::is_regular_file(path)) << path;
        // Readable by every user's browser; Windows files have no such mode.
        if (!platform::kWindows) {
            EXPECT_EQ(modeOf(path),
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(target.directory), {}), 1) << "left-over files";
        const auto manifest = nlohmann::json::parse(PluginEnvironment::readFile(path));
        EXPECT_EQ(manifest["name"], kHostName);
        EXPECT_EQ(manifest["path"], kHostPath);
        EXPECT_EQ(manifest["type"], "stdio");
        if (target.form == ManifestForm::Chromium) {
            ASSERT_EQ(manifest["allowed_origins"].size(), 1u);
            const std::string origin = manifest["allowed_origins"][0];
            EXPECT_TRUE(origin.starts_with("chrome-extension://") && origin.ends_with("/") && origin.size() == 52)
                << origin;
        } else {
            EXPECT_EQ(manifest["allowed_extensions"], nlohmann::json::array({VEXA_GECKO_ID}));
        }
    }
    EXPECT_TRUE(logHas("INFO", "Try to register VEXA 2.0.0.2"));
    EXPECT_TRUE(logHas("INFO", "VEXA 2.0.0.2 successfully registered"));

    EXPECT_EQ(registration.unregisterHost(), 0);
    for (const auto& path : manifests()) EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_EQ(registration.unregisterHost(), 0); // nothing left to remove is no failure
    EXPECT_TRUE(logHas("INFO", "Try to unregister VEXA 2.0.0.2"));
    EXPECT_TRUE(logHas("INFO", "VEXA 2.0.0.2 successfully unregistered"));
    EXPECT_EQ(log().find("ERROR"), std::string::npos) << log();
}

TEST_F(HostRegistrationTest, FailedRegistrationLeavesNothingBehind) {
    // A file where Firefox's directory must go: a real failure even for root.
    env.writeFile(env.home / ".mozilla", "not a directory");
    HostRegistration registration(targets(), kHostPath);
    EXPECT_EQ(registration.registerHost(), ENOTDIR);
    EXPECT_EQ(registration.failure(), "Error at mkdir for Firefox manifest (return code 20)");
    for (const auto& path : manifests()) EXPECT_FALSE(fs::exists(path)) << path;
    // The Chromium directories were made and stay; only manifests go.
    EXPECT_TRUE(fs::is_directory(targets()[0].directory));
    EXPECT_TRUE(logHas("ERROR",
                       "Error at mkdir for Firefox manifest (return code 20). Registration unsuccessul -> invoking "
                       "unregister."));
    EXPECT_TRUE(logHas("INFO", "Try to unregister VEXA 2.0.0.2"));
    EXPECT_TRUE(logHas("INFO", "VEXA 2.0.0.2 successfully unregistered"));
    EXPECT_FALSE(logHas("INFO", "VEXA 2.0.0.2 successfully registered"));
}

TEST_F(HostRegistrationTest, UnregisterGoesOnPastAManifestItCannotRemove) {
    HostRegistration registration(targets(), kHostPath);
    ASSERT_EQ(registration.registerHost(), 0);
    // A directory in place of Chrome's manifest cannot be unlinked.
    const fs::path chrome = manifests()[1];
    fs::remove(chrome);
    fs::create_directories(chrome / "inside");
    // Windows refuses to delete a folder as a file with "access denied".
    const int code = platform::kWindows ? EACCES : EISDIR;
    const std::string suffix = " (return code " + std::to_string(code) + ")";
    EXPECT_EQ(registration.unregisterHost(), code);
    EXPECT_EQ(registration.failure(), "Error at unlink for Google Chrome manifest" + suffix);
    EXPECT_FALSE(fs::exists(manifests()[0]));
    EXPECT_FALSE(fs::exists(manifests()[2]));
    EXPECT_TRUE(logHas("ERROR", "Error at unlink for Google Chrome manifest" + suffix));
    EXPECT_TRUE(logHas("ERROR", "Deregistration unsuccessul" + suffix));
}
