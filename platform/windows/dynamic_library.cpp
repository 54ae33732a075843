#include "platform/dynamic_library.h"

#include <windows.h>

#include <utility>

#include "platform/windows/system_error.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

HMODULE moduleOf(void* handle) {
    return static_cast<HMODULE>(handle);
}

// A missing dependency must not put a message box in front of the user:
// the host runs without a window, and the box would hold the call up.
class QuietLoaderErrors {
public:
    QuietLoaderErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_); }
    ~QuietLoaderErrors() { ::SetThreadErrorMode(old_, nullptr); }
    QuietLoaderErrors(const QuietLoaderErrors&) = delete;
    QuietLoaderErrors& operator=(const QuietLoaderErrors&) = delete;

private:
    DWORD old_ = 0;
};

// The final path of an open file, without the "\\?\" the system puts in front.
std::wstring finalPathOf(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length);
    }
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
    if (path.starts_with(L"\\\\?\\")) return path.substr(4);
    return path;
}

// Relative names count from the current folder, as realpath counts them.
std::wstring fullPathOf(const std::wstring& name) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

} // namespace

DynamicLibrary DynamicLibrary::load(const std::string& name, std::string& error) {
    DynamicLibrary library;
    const QuietLoaderErrors quiet;
    library.handle_ = ::LoadLibraryW(wideText(name).c_str());
    if (library.handle_ == nullptr) error = name + ": " + windowsErrorText(::GetLastError());
    return library;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(::GetProcAddress(moduleOf(handle_), name)) : nullptr;
}

bool DynamicLibrary::close(std::string& error) noexcept {
    if (handle_ == nullptr || ::FreeLibrary(moduleOf(std::exchange(handle_, nullptr)))) return true;
    try {
        error = windowsErrorText(::GetLastError());
    } catch (...) {
        // Out of memory for the text: the failure itself still shows.
    }
    return false;
}

std::string resolvedPath(const std::string& name) {
    const std::wstring path = name.empty() ? std::wstring() : fullPathOf(wideText(name));
    if (path.empty()) {
        if (name.empty()) ::SetLastError(ERROR_FILE_NOT_FOUND);
        setErrnoFromLastError();
        return {};
    }
    const HANDLE file =
        ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        setErrnoFromLastError();
        return {};
    }
    const std::wstring final = finalPathOf(file);
    const DWORD failure = ::GetLastError();
    ::CloseHandle(file);
    if (final.empty()) {
        setErrnoFromWindowsError(failure);
        return {};
    }
    return narrowText(final);
}

} // namespace vexa::platform
