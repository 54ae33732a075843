#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_name.h"

namespace vexa {

// Browsers find `vexa-host` through a native-messaging manifest named after
// the host (kManifestFileName) in a directory of their own. Registering
// writes these manifests, unregistering removes them.

// Chromium and Chrome admit the extension by its origin, Firefox by its id.
enum class ManifestForm { Chromium, Firefox };

struct ManifestTarget {
    std::string browser; // for log lines: "Chromium", "Google Chrome", "Firefox"
    std::filesystem::path directory;
    ManifestForm form;
    // Windows: the browser's key below HKCU, or HKLM when machineWide, whose
    // default value names the manifest; empty where browsers look in folders.
    std::string registryKey = {};
    bool machineWide = false;
};

// On Windows the manifests lie in APPDATA\MERIDAN\VEXA (per user) or
// ProgramData\MERIDAN\VEXA (system), the Firefox one in a folder "firefox"
// below, each named by the keys of Chrome, Edge, Chromium and Firefox.
// Per user: below the config home (XDG_CONFIG_HOME when absolute, else
// home/.config) for Chromium and Chrome, below home for Firefox.
std::vector<ManifestTarget> userManifestTargets(const std::filesystem::path& home,
                                                const std::filesystem::path& xdgConfigHome);
// The same for the user running this process; throws std::runtime_error
// without a home directory.
std::vector<ManifestTarget> currentUserManifestTargets();
std::vector<ManifestTarget> systemManifestTargets();
// One Chromium profile, as started with --user-data-dir.
std::vector<ManifestTarget> profileManifestTargets(const std::filesystem::path& userDataDir);

// The manifest that points the browser at hostPath.
std::string manifestText(ManifestForm form, std::string_view hostPath);

// Registration into a set of manifest directories, logged through a
// temporary plug-in into the plug-in's ordinary log file.
class HostRegistration {
public:
    HostRegistration(std::vector<ManifestTarget> targets, std::string hostPath);

    // All or nothing: 0, or the code of the first failure after every
    // manifest was removed again.
    std::int32_t registerHost();
    // Tries every manifest: 0, or the code of the first failure.
    std::int32_t unregisterHost();
    // What failed last, for the command line; "" after success.
    const std::string& failure() const { return failure_; }

private:
    std::vector<ManifestTarget> targets_;
    std::string hostPath_;
    std::string failure_;
};

} // namespace vexa
