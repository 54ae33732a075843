#include "support/file_handle.h"

#include <utility>

namespace vexa {

FileHandle::FileHandle(FileHandle&& other) noexcept
    : file_(std::move(other.file_)), identity_(std::exchange(other.identity_, std::nullopt)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::move(other.file_);
        identity_ = std::exchange(other.identity_, std::nullopt);
    }
    return *this;
}

FileHandle FileHandle::open(const std::string& path, platform::FileAccess access, bool followLinks) {
    return FileHandle(platform::File::open(path, access, followLinks));
}

bool FileHandle::tryLock(int share) {
    if (!file_.valid()) return false;
    switch (share) {
        case 2:
            return file_.tryLock(platform::FileLock::Exclusive);
        case 1:
            return file_.tryLock(platform::FileLock::Shared);
        default:
            return true;
    }
}

std::optional<FileIdentity> FileHandle::identity() const {
    if (identity_ || !file_.valid()) return identity_;
    if (auto facts = file_.facts()) identity_ = facts->identity;
    return identity_;
}

std::optional<FileIdentity> FileHandle::identityOf(const std::string& path, bool followLinks) {
    const auto facts = platform::factsOf(path, followLinks);
    if (!facts) return std::nullopt;
    return facts->identity;
}

int FileHandle::close() noexcept {
    if (!file_.valid()) return 0;
    identity_.reset();
    // No unlocking first: after a fork the child shares the open file, and
    // unlocking would take the lock from under the parent.
    return file_.close();
}

} // namespace vexa
