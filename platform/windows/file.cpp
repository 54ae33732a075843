#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "platform/windows/crt_descriptor.h"
#include "platform/windows/system_error.h"
#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

// The folder's access list decides who may use a file on Windows, and below
// the user's profile that is the user's own; these values stand for that.
constexpr std::uint32_t kFilePermissions = 0600;
constexpr std::uint32_t kFolderPermissions = 0700;

// FILETIME counts 100 ns steps from 1601; Unix time starts 11644473600 s later.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Windows locks are mandatory: a locked range refuses reads and writes through
// every other handle, and a shared lock even the holder's own writes. The
// lock is therefore taken on one byte far beyond any content, which makes it
// advisory like flock: it only meets other locks.
OVERLAPPED lockByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFF0;
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
}

HANDLE osHandle(int fd) {
    return fd >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

struct OpenMode {
    DWORD access;
    DWORD disposition;
    int crtFlags;
};

OpenMode modeFor(FileAccess access) {
    switch (access) {
        case FileAccess::Read:
        case FileAccess::ReadAtOnce: // opening waits for nothing here
            return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY};
        case FileAccess::ReadWrite:
            return {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, _O_RDWR};
        case FileAccess::Append:
            return {GENERIC_WRITE, OPEN_ALWAYS, _O_WRONLY | _O_APPEND};
        case FileAccess::Write:
            // Emptied only after the link check, so a link is never emptied.
            return {GENERIC_WRITE, OPEN_ALWAYS, _O_WRONLY};
    }
    return {GENERIC_READ, OPEN_EXISTING, _O_RDONLY};
}

OpenFailure failureFor(int err) {
    if (err == ENOENT || err == ENOTDIR) return OpenFailure::Missing;
    if (err == ELOOP) return OpenFailure::Link;
    return OpenFailure::Other;
}

// Symbolic links and junctions; other reparse points (cloud placeholders,
// deduplicated files) are ordinary files to their users.
bool isLinkHandle(HANDLE handle, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
    return IsReparseTagNameSurrogate(tag.ReparseTag);
}

std::int64_t unixNanoseconds(const FILETIME& time) {
    const auto ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - kFileTimeUnixEpoch) * 100;
}

FileFacts factsFrom(DWORD attributes, const FILETIME& modified, std::uint64_t size) {
    FileFacts facts;
    facts.size = static_cast<std::int64_t>(size);
    facts.modifiedNs = unixNanoseconds(modified);
    facts.isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.isRegular = !facts.isFolder && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
    facts.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.ownedByUser = true;
    facts.permissions = facts.isFolder ? kFolderPermissions : kFilePermissions;
    return facts;
}

std::optional<FileFacts> factsOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) {
        setErrnoFromLastError();
        return std::nullopt;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    FileFacts facts = factsFrom(info.dwFileAttributes, info.ftLastWriteTime, size);
    facts.identity = {info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    facts.isLink = isLinkHandle(handle, info.dwFileAttributes);
    if (facts.isLink) facts.isRegular = facts.isFolder = false;
    return facts;
}

// A file another program holds without sharing cannot be opened even for its
// attributes; the directory entry still tells them, without an identity.
std::optional<FileFacts> factsFromEntry(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        setErrnoFromLastError();
        return std::nullopt;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return factsFrom(data.dwFileAttributes, data.ftLastWriteTime, size);
}

bool writeAllTo(HANDLE handle, std::string_view data) {
    while (!data.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(handle, data.data(), chunk, &written, nullptr) || written == 0) {
            setErrnoFromLastError();
            return false;
        }
        data.remove_prefix(written);
    }
    return true;
}

// The CRT counts transfers in unsigned int.
unsigned int chunkOf(std::size_t size) {
    return static_cast<unsigned int>(std::min<std::size_t>(size, INT_MAX));
}

} // namespace

int openDescriptor(const std::string& path, unsigned long access, unsigned long disposition, unsigned long attributes,
                   int crtFlags) {
    const HANDLE handle =
        ::CreateFileW(wideText(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      disposition, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setErrnoFromLastError();
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), crtFlags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        ::CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

void releaseLock(int fd) {
    const HANDLE handle = osHandle(fd);
    OVERLAPPED at = lockByte();
    if (handle != INVALID_HANDLE_VALUE) ::UnlockFileEx(handle, 0, 1, 0, &at);
}

File File::open(const std::string& path, FileAccess access, bool followLinks) {
    const OpenMode mode = modeFor(access);
    const DWORD attributes = FILE_ATTRIBUTE_NORMAL | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    File file;
    file.fd_.reset(openDescriptor(path, mode.access, mode.disposition, attributes, mode.crtFlags));
    if (file.valid() && !followLinks) {
        // Opened is the link itself, never what it points at.
        const auto facts = file.facts();
        if (facts && facts->isLink) {
            file.fd_.reset();
            errno = ELOOP;
        }
    }
    if (file.valid() && access == FileAccess::Write && !file.truncate()) {
        const int err = errno;
        file.fd_.reset();
        errno = err;
    }
    if (!file.valid()) file.failure_ = failureFor(errno);
    return file;
}

bool File::tryLock(FileLock lock) {
    const HANDLE handle = osHandle(fd_.get());
    if (handle == INVALID_HANDLE_VALUE) return false;
    // Like flock, a second lock through the same file converts the first,
    // and a failed conversion leaves none (Windows would stack the locks and
    // refuse an exclusive one over our own shared one).
    releaseLock(fd_.get());
    OVERLAPPED at = lockByte();
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (lock == FileLock::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return ::LockFileEx(handle, flags, 0, 1, 0, &at) != 0;
}

std::optional<FileFacts> File::facts() const {
    if (!valid()) return std::nullopt;
    return factsOfHandle(osHandle(fd_.get()));
}

std::int64_t File::read(std::span<char> buffer) {
    std::size_t count = 0;
    while (count < buffer.size()) {
        const int result = ::_read(fd_.get(), buffer.data() + count, chunkOf(buffer.size() - count));
        if (result < 0) return -1;
        if (result == 0) break;
        count += static_cast<std::size_t>(result);
    }
    return static_cast<std::int64_t>(count);
}

std::int64_t File::readOnce(std::span<char> buffer) {
    return ::_read(fd_.get(), buffer.data(), chunkOf(buffer.size()));
}

bool File::writeAll(std::string_view data) {
    while (!data.empty()) {
        const int n = ::_write(fd_.get(), data.data(), chunkOf(data.size()));
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::int64_t File::seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Start ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    return ::_lseeki64(fd_.get(), offset, whence);
}

bool File::truncate(std::int64_t length) {
    return ::_chsize_s(fd_.get(), length) == 0;
}

bool File::sync() {
    return ::_commit(fd_.get()) == 0;
}

// A Windows file takes its access from the folder's access list, and below
// the user's profile that is the user's own; there are no bits to set.
bool File::setPermissions(std::uint32_t) {
    return valid();
}

std::optional<FileFacts> factsOf(const std::string& path, bool followLinks) {
    const std::wstring wide = wideText(path);
    // Folders open only with backup semantics; no right beyond the
    // attributes is asked for.
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle =
        ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        const OwnedHandle owned(handle);
        return factsOfHandle(owned.get());
    }
    if (::GetLastError() == ERROR_SHARING_VIOLATION) return factsFromEntry(wide);
    setErrnoFromLastError();
    return std::nullopt;
}

bool makeFolder(const std::string& path) {
    if (::CreateDirectoryW(wideText(path).c_str(), nullptr)) return true;
    setErrnoFromLastError();
    return false;
}

bool renameFile(const std::string& from, const std::string& to) {
    if (::MoveFileExW(wideText(from).c_str(), wideText(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    setErrnoFromLastError();
    return false;
}

bool writeStandardError(std::string_view data) {
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    return writeAllTo(handle, data);
}

} // namespace vexa::platform
