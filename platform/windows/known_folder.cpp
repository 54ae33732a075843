#include "platform/windows/known_folder.h"

#include <windows.h>

// The folder ids are defined here rather than taken from libuuid.
#include <initguid.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <memory>

#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

struct TaskMemoryFree {
    void operator()(wchar_t* text) const { ::CoTaskMemFree(text); }
};

REFKNOWNFOLDERID idOf(KnownFolder folder) {
    switch (folder) {
        case KnownFolder::Profile:
            return FOLDERID_Profile;
        case KnownFolder::RoamingAppData:
            return FOLDERID_RoamingAppData;
        case KnownFolder::ProgramData:
            return FOLDERID_ProgramData;
    }
    return FOLDERID_Profile;
}

} // namespace

std::string knownFolder(KnownFolder folder) {
    wchar_t* path = nullptr;
    // The path is the caller's to free even when the call fails.
    const HRESULT result = ::SHGetKnownFolderPath(idOf(folder), KF_FLAG_DEFAULT, nullptr, &path);
    const std::unique_ptr<wchar_t, TaskMemoryFree> owned(path);
    return SUCCEEDED(result) && path ? narrowText(path) : std::string();
}

} // namespace vexa::platform
