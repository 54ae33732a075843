#include "support/file_handle.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vexa {

namespace {

// The files hold card traffic and settings: owner only.
constexpr mode_t kCreatedFileMode = 0600;

FileIdentity identityFrom(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

} // namespace

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(std::move(other.fd_)), identity_(std::exchange(other.identity_, std::nullopt)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::move(other.fd_);
        identity_ = std::exchange(other.identity_, std::nullopt);
    }
    return *this;
}

FileHandle FileHandle::open(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, kCreatedFileMode);
    } while (fd < 0 && errno == EINTR);
    return FileHandle(fd);
}

bool FileHandle::tryLock(int share) {
    if (!fd_.valid()) return false;
    int operation;
    switch (share) {
        case 2:
            operation = LOCK_EX;
            break;
        case 1:
            operation = LOCK_SH;
            break;
        default:
            return true;
    }
    return ::flock(fd_.get(), operation | LOCK_NB) == 0;
}

std::optional<FileIdentity> FileHandle::identity() const {
    if (identity_ || !fd_.valid()) return identity_;
    struct stat status {};
    if (::fstat(fd_.get(), &status) == 0) identity_ = identityFrom(status);
    return identity_;
}

std::optional<FileIdentity> FileHandle::identityOf(const std::string& path, bool followLinks) {
    struct stat status {};
    if ((followLinks ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) return std::nullopt;
    return identityFrom(status);
}

int FileHandle::close() noexcept {
    if (!fd_.valid()) return 0;
    identity_.reset();
    // No LOCK_UN: after a fork the child shares the open file description,
    // and unlocking would take the lock from under the parent.
    return fd_.close();
}

} // namespace vexa
