#include "platform/shared_files.h"

#include <windows.h>

#include <string>

#include "platform/windows/system_error.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {

// Folders below ProgramData and APPDATA inherit their readers from there.
int makeSharedFolder(const std::string& path) {
    return ::CreateDirectoryW(wideText(path).c_str(), nullptr) ? 0 : setErrnoFromLastError();
}

int removeFile(const std::string& path) {
    return ::DeleteFileW(wideText(path).c_str()) ? 0 : setErrnoFromLastError();
}

std::uint32_t processId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

std::string executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return narrowText(std::wstring_view(buffer).substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace vexa::platform
