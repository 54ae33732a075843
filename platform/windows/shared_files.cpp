#include "platform/shared_files.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace vexa::platform {
namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n);
    return result;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), n, nullptr, nullptr);
    return result;
}

int errnoOf(DWORD error) {
    switch (error) {
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        default:
            return EIO;
    }
}

} // namespace

// Folders below Program Files or ProgramData inherit read access for all users.
int makeSharedFolder(const std::string& path) {
    return ::CreateDirectoryW(wide(path).c_str(), nullptr) ? 0 : errnoOf(::GetLastError());
}

int removeFile(const std::string& path) {
    return ::DeleteFileW(wide(path).c_str()) ? 0 : errnoOf(::GetLastError());
}

std::uint32_t processId() {
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

std::string executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return narrow(buffer.substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace vexa::platform
