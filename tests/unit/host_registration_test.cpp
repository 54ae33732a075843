#include "host/host_registration.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

} // namespace

TEST_F(HostRegistrationTest, ManifestDirectoriesPerScope) {
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

TEST_F(HostRegistrationTest, RegisterWritesEveryManifestAndUnregisterRemovesThem) {
    HostRegistration registration(targets(), kHostPath);
    EXPECT_EQ(registration.registerHost(), 0);
    EXPECT_EQ(registration.registerHost(), 0); // again over the old manifests
    for (const auto& target : targets()) {
        const fs::path path = target.directory / kManifestFileName;
        ASSERT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(modeOf(path), 0644u);
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
    EXPECT_EQ(registration.unregisterHost(), EISDIR);
    EXPECT_EQ(registration.failure(), "Error at unlink for Google Chrome manifest (return code 21)");
    EXPECT_FALSE(fs::exists(manifests()[0]));
    EXPECT_FALSE(fs::exists(manifests()[2]));
    EXPECT_TRUE(logHas("ERROR", "Error at unlink for Google Chrome manifest (return code 21)"));
    EXPECT_TRUE(logHas("ERROR", "Deregistration unsuccessul (return code 21)"));
}
