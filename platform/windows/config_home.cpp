#include "platform/config_home.h"

#include <windows.h>

#include "platform/windows/known_folder.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

std::string variableOr(const char* name, KnownFolder folder) {
    std::string value = environmentValue(name);
    return value.empty() ? knownFolder(folder) : value;
}

} // namespace

std::string environmentValue(const std::string& name) {
    const std::wstring wideName = wideText(name);
    std::wstring value(64, L'\0');
    for (;;) {
        // The size needed (with the terminator) when it does not fit, the
        // length without it when it does, 0 when not set (or empty).
        const DWORD length =
            ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            return narrowText(value);
        }
        value.resize(length);
    }
}

std::string userConfigHome() {
    return variableOr("APPDATA", KnownFolder::RoamingAppData);
}

std::string machineConfigHome() {
    return variableOr("ProgramData", KnownFolder::ProgramData);
}

} // namespace vexa::platform
