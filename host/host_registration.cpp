#include "host/host_registration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/chip_card_plugin.h"
#include "platform/file.h"
#include "platform/user.h"
#include "support/tov_exception.h"
#include "support/version.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kExtensionOrigin = "chrome-extension://" VEXA_EXTENSION_ID "/";
constexpr std::string_view kFirefoxExtensionId = VEXA_GECKO_ID;
// Browsers run as other users than the one registering system-wide.
constexpr mode_t kManifestMode = 0644;
constexpr mode_t kDirectoryMode = 0755;

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

// Creates what is missing of directory, each new level readable by all.
void createDirectories(const ManifestTarget& target) {
    fs::path prefix;
    for (const fs::path& part : target.directory) {
        prefix /= part;
        if (::mkdir(prefix.c_str(), kDirectoryMode) == 0) {
            // Whatever the umask took away, browsers of other users must read it.
            if (::chmod(prefix.c_str(), kDirectoryMode) != 0) fail("chmod", target, errno);
            continue;
        }
        if (errno != EEXIST) fail("mkdir", target, errno);
        struct stat info {};
        if (::stat(prefix.c_str(), &info) != 0) fail("stat", target, errno);
        if (!S_ISDIR(info.st_mode)) fail("mkdir", target, ENOTDIR);
    }
}

// Removes a file on destruction unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!kept_) ::unlink(path_.c_str());
    }
    void keep() { kept_ = true; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    bool kept_ = false;
};

// Replaces the manifest in one rename, so a browser never reads half of one.
void writeManifest(const ManifestTarget& target, std::string_view text) {
    createDirectories(target);
    const fs::path path = target.directory / kManifestFileName;
    TemporaryFile temporary(fs::path(path).concat(".new." + std::to_string(::getpid())));
    platform::File file = platform::File::open(temporary.path(), platform::FileAccess::Write);
    if (!file.valid()) fail("open", target, errno);
    if (!file.setPermissions(kManifestMode)) fail("fchmod", target, errno);
    errno = 0;
    if (!file.writeAll(text)) fail("write", target, errno != 0 ? errno : EIO);
    if (!file.sync()) fail("fsync", target, errno);
    if (file.close() != 0) fail("close", target, errno);
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) fail("rename", target, errno);
    temporary.keep();
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
    std::string home;
    if (const char* value = std::getenv("HOME"); value != nullptr) home = value;
    if (home.empty()) home = platform::accountHomeFolder();
    if (!fs::path(home).is_absolute()) throw std::runtime_error("cannot tell the user's home directory");
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    return userManifestTargets(home, xdg != nullptr ? xdg : "");
}

std::vector<ManifestTarget> systemManifestTargets() {
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
        const fs::path path = target.directory / kManifestFileName;
        // A manifest that is not there is already unregistered.
        if (::unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) continue;
        const std::int32_t code = errno;
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
