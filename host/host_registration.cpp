#include "host/host_registration.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/chip_card_plugin.h"
#include "platform/config_home.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/shared_files.h"
#include "platform/system.h"
#include "platform/user.h"
#include "support/tov_exception.h"
#include "support/version.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kExtensionOrigin = "chrome-extension://" VEXA_EXTENSION_ID "/";
constexpr std::string_view kFirefoxExtensionId = VEXA_GECKO_ID;
// Browsers run as other users than the one registering system-wide.
constexpr std::uint32_t kManifestMode = 0644;

// The plug-in whose log records registration, started as the control
// starts its own.
class RegistrationLog {
public:
    RegistrationLog() { plugin_.loadConfiguration({.clientText = "Internet Explorer"}); }
    void write(std::int32_t level, const std::string& text) { plugin_.log().write(level, text); }

private:
    ChipCardPlugin plugin_;
};

[[noreturn]] void fail(std::string_view call, const ManifestTarget& target, int error) {
    throw TovException(error, "Error at " + std::string(call) + " for " + target.browser + " manifest");
}

// UTF-8 on every system (a path's narrow form on Windows is the ANSI code page).
std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Creates what is missing of directory, each new level readable by all.
void createDirectories(const ManifestTarget& target) {
    fs::path prefix;
    for (const fs::path& part : target.directory) {
        prefix /= part;
        const int error = platform::makeSharedFolder(utf8(prefix));
        if (error == 0) continue;
        if (error != EEXIST) fail("mkdir", target, error);
        const auto facts = platform::factsOf(utf8(prefix));
        if (!facts) fail("stat", target, errno != 0 ? errno : EIO);
        if (!facts->isFolder) fail("mkdir", target, ENOTDIR);
    }
}

// Removes a file on destruction unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!kept_) platform::removeFile(path_);
    }
    void keep() { kept_ = true; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool kept_ = false;
};

std::string manifestPath(const ManifestTarget& target) {
    return utf8(target.directory / kManifestFileName);
}

platform::RegistryRoot registryRoot(const ManifestTarget& target) {
    return target.machineWide ? platform::RegistryRoot::LocalMachine : platform::RegistryRoot::CurrentUser;
}

// Replaces the manifest in one rename, so a browser never reads half of one;
// where browsers find manifests through the registry, points the key at it.
void writeManifest(const ManifestTarget& target, std::string_view text) {
    createDirectories(target);
    const std::string path = manifestPath(target);
    TemporaryFile temporary(path + ".new." + std::to_string(platform::processId()));
    platform::File file = platform::File::open(temporary.path(), platform::FileAccess::Write);
    if (!file.valid()) fail("open", target, errno);
    if (!file.setPermissions(kManifestMode)) fail("fchmod", target, errno);
    errno = 0;
    if (!file.writeAll(text)) fail("write", target, errno != 0 ? errno : EIO);
    if (!file.sync()) fail("fsync", target, errno);
    if (file.close() != 0) fail("close", target, errno);
    errno = 0;
    if (!platform::renameFile(temporary.path(), path)) fail("rename", target, errno != 0 ? errno : EIO);
    temporary.keep();
    if (!target.registryKey.empty() && !platform::writeRegistryText(registryRoot(target), target.registryKey, "", path))
        fail("RegSetValueEx", target, EACCES);
}

// 0 when neither manifest nor key is left, else an errno value.
int removeManifest(const ManifestTarget& target) {
    // A manifest that is not there is already unregistered.
    const int error = platform::removeFile(manifestPath(target));
    if (error != 0 && error != ENOENT && error != ENOTDIR) return error;
    if (!target.registryKey.empty() && !platform::deleteRegistryKey(registryRoot(target), target.registryKey))
        return EACCES;
    return 0;
}

// Windows browsers find a manifest through a registry key of their own, which
// names its path; the manifests themselves lie in VEXA's own folder.
[[maybe_unused]] std::vector<ManifestTarget> windowsTargets(const fs::path& folder, bool machineWide) {
    const std::string name(kHostName);
    const fs::path firefoxFolder = folder / "firefox";
    return {
        {"Google Chrome", folder, ManifestForm::Chromium, "Software\\Google\\Chrome\\NativeMessagingHosts\\" + name,
         machineWide},
        {"Microsoft Edge", folder, ManifestForm::Chromium, "Software\\Microsoft\\Edge\\NativeMessagingHosts\\" + name,
         machineWide},
        {"Chromium", folder, ManifestForm::Chromium, "Software\\Chromium\\NativeMessagingHosts\\" + name, machineWide},
        {"Firefox", firefoxFolder, ManifestForm::Firefox, "Software\\Mozilla\\NativeMessagingHosts\\" + name,
         machineWide},
    };
}

[[maybe_unused]] fs::path fromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string codeText(std::int32_t code) {
    return " (return code " + std::to_string(code) + ")";
}

} // namespace

std::vector<ManifestTarget> userManifestTargets(const fs::path& home, const fs::path& xdgConfigHome) {
    // Chromium and Chrome keep their profiles below the XDG config home.
    const fs::path config = xdgConfigHome.is_absolute() ? xdgConfigHome : home / ".config";
    return {
        {"Chromium", config / "chromium" / "NativeMessagingHosts", ManifestForm::Chromium},
        {"Google Chrome", config / "google-chrome" / "NativeMessagingHosts", ManifestForm::Chromium},
        {"Firefox", home / ".mozilla" / "native-messaging-hosts", ManifestForm::Firefox},
    };
}

std::vector<ManifestTarget> currentUserManifestTargets() {
    if constexpr (platform::kWindows) {
        const std::string appData = platform::userConfigHome();
        if (!fromUtf8(appData).is_absolute()) throw std::runtime_error("cannot tell the user's APPDATA folder");
        return windowsTargets(fromUtf8(appData) / "MERIDAN" / "VEXA", false);
    }
    std::string home = platform::environmentValue("HOME");
    if (home.empty()) home = platform::accountHomeFolder();
    if (!fs::path(home).is_absolute()) throw std::runtime_error("cannot tell the user's home directory");
    return userManifestTargets(home, platform::environmentValue("XDG_CONFIG_HOME"));
}

std::vector<ManifestTarget> systemManifestTargets() {
    if constexpr (platform::kWindows) {
        const std::string programData = platform::machineConfigHome();
        if (!fromUtf8(programData).is_absolute()) throw std::runtime_error("cannot tell the ProgramData folder");
        return windowsTargets(fromUtf8(programData) / "MERIDAN" / "VEXA", true);
    }
    return {
        {"Chromium", "/etc/chromium/native-messaging-hosts", ManifestForm::Chromium},
        {"Google Chrome", "/etc/opt/chrome/native-messaging-hosts", ManifestForm::Chromium},
        {"Firefox", "/usr/lib/mozilla/native-messaging-hosts", ManifestForm::Firefox},
    };
}

std::vector<ManifestTarget> profileManifestTargets(const fs::path& userDataDir) {
    return {{"Chromium", fs::absolute(userDataDir) / "NativeMessagingHosts", ManifestForm::Chromium}};
}

std::string manifestText(ManifestForm form, std::string_view hostPath) {
    nlohmann::ordered_json manifest = nlohmann::ordered_json::object();
    manifest["name"] = kHostName;
    manifest["description"] = "VEXA chip-card access";
    manifest["path"] = hostPath;
    manifest["type"] = "stdio";
    if (form == ManifestForm::Chromium) {
        manifest["allowed_origins"] = {kExtensionOrigin};
    } else {
        manifest["allowed_extensions"] = {kFirefoxExtensionId};
    }
    return manifest.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

HostRegistration::HostRegistration(std::vector<ManifestTarget> targets, std::string hostPath)
    : targets_(std::move(targets)), hostPath_(std::move(hostPath)) {}

std::int32_t HostRegistration::registerHost() {
    failure_.clear();
    std::int32_t code = 0;
    {
        RegistrationLog log;
        log.write(LOG_INFO, "Try to register " + std::string(kProductText));
        try {
            for (const ManifestTarget& target : targets_) writeManifest(target, manifestText(target.form, hostPath_));
            log.write(LOG_INFO, std::string(kProductText) + " successfully registered");
            return 0;
        } catch (const TovException& e) {
            code = e.code();
            failure_ = e.text() + codeText(code);
            log.write(LOG_ERROR, failure_ + ". Registration unsuccessul -> invoking unregister.");
        }
    }
    const std::string registrationFailure = failure_;
    unregisterHost();
    failure_ = registrationFailure;
    return code;
}

std::int32_t HostRegistration::unregisterHost() {
    failure_.clear();
    RegistrationLog log;
    log.write(LOG_INFO, "Try to unregister " + std::string(kProductText));
    std::int32_t result = 0;
    for (const ManifestTarget& target : targets_) {
        const std::int32_t code = removeManifest(target);
        if (code == 0) continue;
        const std::string text = "Error at unlink for " + target.browser + " manifest" + codeText(code);
        log.write(LOG_ERROR, text);
        if (result == 0) {
            result = code;
            failure_ = text;
        }
    }
    if (result != 0) {
        log.write(LOG_ERROR, "Deregistration unsuccessul" + codeText(result));
    } else {
        log.write(LOG_INFO, std::string(kProductText) + " successfully unregistered");
    }
    return result;
}

} // namespace vexa
