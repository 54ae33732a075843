#include "platform/atomic_replace.h"

#include <fcntl.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/windows/crt_descriptor.h"
#include "platform/windows/system_error.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

constexpr int kNameTries = 100;

// A name beside path that nobody else picks: process, time and a counter.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const unsigned long long stamp = ::GetTickCount64();
    return path + "." + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(stamp % 1000000) + "-" +
           std::to_string(counter.fetch_add(1));
}

// Created new, never an existing file or link of somebody else's.
int createTemporary(const std::string& path, std::string& temp) {
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        temp = temporaryName(path);
        const int fd = openDescriptor(temp, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, _O_RDWR);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// FILE_RENAME_INFO as Windows 10 reads it, with flags where older headers
// have ReplaceIfExists.
struct RenameRequest {
    DWORD flags;
    HANDLE rootDirectory;
    DWORD nameLength;
    WCHAR name[1];
};
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kReplaceIfExists = 0x1;
constexpr DWORD kPosixSemantics = 0x2;

// Windows refuses to rename over a file that somebody holds open, even one
// opened for sharing deletion, unless the rename asks for POSIX semantics
// (Windows 10 1709 on): then the holder keeps reading the old file, as on
// POSIX. False where the system or the file system lacks them.
bool renameOverOpenFile(const std::wstring& from, const std::wstring& to) {
    const HANDLE file =
        ::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::size_t nameBytes = to.size() * sizeof(WCHAR);
    const std::size_t size = offsetof(RenameRequest, name) + nameBytes + sizeof(WCHAR);
    std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* request = reinterpret_cast<RenameRequest*>(storage.data());
    request->flags = kReplaceIfExists | kPosixSemantics;
    request->nameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(request->name, to.c_str(), nameBytes);
    const bool renamed = ::SetFileInformationByHandle(file, kFileRenameInfoEx, request, static_cast<DWORD>(size));
    ::CloseHandle(file);
    return renamed;
}

// Write-through: the rename is on the disk when the call returns, as the
// folder's sync makes it on POSIX.
bool renameOver(const std::string& from, const std::string& to) {
    const std::wstring wideFrom = wideText(from);
    const std::wstring wideTo = wideText(to);
    if (renameOverOpenFile(wideFrom, wideTo)) return true;
    if (::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    setErrnoFromLastError();
    return false;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};

// Where the system cannot rename over a file that somebody holds open
// (Windows before 10 1709, FAT and network drives, Wine), the content goes
// over the old in place, once the temporary copy has shown that it fits on
// the disk. The holders of the file's lock still see one writer at a time;
// only a crash in the middle would leave the file part old, part new.
bool writeInPlace(const std::string& path, std::string_view content) {
    HANDLE opened = ::CreateFileW(wideText(path).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        setErrnoFromLastError();
        return false;
    }
    const std::unique_ptr<void, HandleCloser> file(opened);
    DWORD count = 0;
    const bool written = content.size() <= MAXDWORD &&
                         ::WriteFile(opened, content.data(), static_cast<DWORD>(content.size()), &count, nullptr) &&
                         count == content.size() && ::SetEndOfFile(opened) && ::FlushFileBuffers(opened);
    if (!written) setErrnoFromLastError();
    return written;
}

} // namespace

bool replaceAtomically(const std::string& path, std::string_view content, std::uint32_t permissions,
                       std::optional<FileFacts>& written) {
    std::string temp;
    File file;
    file.fd_.reset(createTemporary(path, temp));
    if (!file.valid()) return false;
    bool ok = file.setPermissions(permissions) && file.writeAll(content) && file.sync();
    if (ok) written = file.facts();
    ok = file.close() == 0 && ok;
    if (ok && renameOver(temp, path)) return true;
    const bool inPlace = ok && errno == EACCES && writeInPlace(path, content);
    const int err = errno;
    ::DeleteFileW(wideText(temp).c_str());
    if (inPlace) written = factsOf(path);
    errno = err;
    return inPlace;
}

} // namespace vexa::platform
