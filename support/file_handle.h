#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/unique_fd.h"

namespace vexa {

// Which file a handle or a path names: device and inode.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Owns one file descriptor and the flock taken on it. Linux has no share
// modes, so an advisory lock stands in for them; closing the descriptor
// releases the lock, so both end together.
class FileHandle {
public:
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle() { close(); }

    // open(2) with the given flags, created files mode 0600; invalid on failure.
    static FileHandle open(const std::string& path, int flags);

    // Without waiting: exclusive lock for share 2, shared lock for share 1,
    // nothing for any other share value. False when another holder blocks it.
    bool tryLock(int share);

    // Closes (and so unlocks); the close result, 0 when nothing was open.
    int close() noexcept;

    // The open file's identity (asked once per descriptor: a descriptor
    // never changes its file); none when nothing is open.
    std::optional<FileIdentity> identity() const;
    // The identity of what the path names (of a symbolic link itself unless
    // followLinks); none when nothing is there.
    static std::optional<FileIdentity> identityOf(const std::string& path, bool followLinks = false);

    int get() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }

private:
    explicit FileHandle(int fd) : fd_(fd) {}

    UniqueFd fd_;
    mutable std::optional<FileIdentity> identity_;
};

} // namespace vexa
