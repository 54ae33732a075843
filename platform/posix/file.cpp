#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vexa::platform {
namespace {

constexpr mode_t kCreatedFileMode = 0600;
constexpr mode_t kCreatedFolderMode = 0700;

int flagsFor(FileAccess access) {
    switch (access) {
        case FileAccess::Read:
            return O_RDONLY;
        case FileAccess::ReadAtOnce:
            return O_RDONLY | O_NONBLOCK;
        case FileAccess::ReadWrite:
            return O_RDWR | O_CREAT;
        case FileAccess::Append:
            return O_WRONLY | O_APPEND | O_CREAT;
        case FileAccess::Write:
            return O_WRONLY | O_CREAT | O_TRUNC;
    }
    return O_RDONLY;
}

OpenFailure failureFor(int err) {
    if (err == ENOENT || err == ENOTDIR) return OpenFailure::Missing;
    if (err == ELOOP) return OpenFailure::Link;
    return OpenFailure::Other;
}

FileFacts factsFrom(const struct stat& status) {
    FileFacts facts;
    facts.identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    facts.size = static_cast<std::int64_t>(status.st_size);
    facts.modifiedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
    facts.isRegular = S_ISREG(status.st_mode);
    facts.isFolder = S_ISDIR(status.st_mode);
    facts.isLink = S_ISLNK(status.st_mode);
    facts.ownerId = status.st_uid;
    facts.ownedByUser = status.st_uid == ::geteuid();
    facts.ownedByAdministrator = status.st_uid == 0;
    facts.sticky = (status.st_mode & S_ISVTX) != 0;
    facts.writableByGroup = (status.st_mode & S_IWGRP) != 0;
    facts.writableByOthers = (status.st_mode & S_IWOTH) != 0;
    facts.permissions = status.st_mode & 07777;
    return facts;
}

bool writeAllTo(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

template <typename Call>
auto retryingSignals(Call call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) return result;
    }
}

} // namespace

File File::open(const std::string& path, FileAccess access, bool followLinks) {
    const int flags = flagsFor(access) | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    File file;
    file.fd_.reset(retryingSignals([&] { return ::open(path.c_str(), flags, kCreatedFileMode); }));
    if (!file.valid()) file.failure_ = failureFor(errno);
    return file;
}

bool File::tryLock(FileLock lock) {
    if (!valid()) return false;
    return ::flock(fd_.get(), (lock == FileLock::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

std::optional<FileFacts> File::facts() const {
    struct stat status {};
    if (!valid() || ::fstat(fd_.get(), &status) != 0) return std::nullopt;
    return factsFrom(status);
}

std::int64_t File::read(std::span<char> buffer) {
    std::size_t count = 0;
    while (count < buffer.size()) {
        const ssize_t result = ::read(fd_.get(), buffer.data() + count, buffer.size() - count);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) return -1;
        if (result == 0) break;
        count += static_cast<std::size_t>(result);
    }
    return static_cast<std::int64_t>(count);
}

std::int64_t File::readOnce(std::span<char> buffer) {
    return retryingSignals([&] { return ::read(fd_.get(), buffer.data(), buffer.size()); });
}

bool File::writeAll(std::string_view data) {
    return writeAllTo(fd_.get(), data);
}

std::int64_t File::seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Start ? SEEK_SET : origin == SeekOrigin::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(fd_.get(), offset, whence);
}

bool File::truncate(std::int64_t length) {
    return retryingSignals([&] { return ::ftruncate(fd_.get(), static_cast<off_t>(length)); }) == 0;
}

bool File::sync() {
    return ::fsync(fd_.get()) == 0;
}

bool File::setPermissions(std::uint32_t permissions) {
    return ::fchmod(fd_.get(), static_cast<mode_t>(permissions)) == 0;
}

std::optional<FileFacts> factsOf(const std::string& path, bool followLinks) {
    struct stat status {};
    if ((followLinks ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) return std::nullopt;
    return factsFrom(status);
}

bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), kCreatedFolderMode) == 0;
}

bool renameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool writeStandardError(std::string_view data) {
    return writeAllTo(STDERR_FILENO, data);
}

} // namespace vexa::platform
