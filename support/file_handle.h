#pragma once

#include <optional>
#include <string>

#include "platform/file.h"

namespace vexa {

using platform::FileIdentity;

// Owns one open file and the advisory lock taken on it, which stands in for
// Windows share modes; closing the file releases the lock, so both end
// together.
class FileHandle {
public:
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    ~FileHandle() { close(); }

    // Invalid on failure; file().failure() says why.
    static FileHandle open(const std::string& path, platform::FileAccess access, bool followLinks);

    // Without waiting: exclusive lock for share 2, shared lock for share 1,
    // nothing for any other share value. False when another holder blocks it.
    bool tryLock(int share);

    // Closes (and so unlocks); the close result, 0 when nothing was open.
    int close() noexcept;

    // The open file's identity (asked once per file: an open file never
    // changes its identity); none when nothing is open.
    std::optional<FileIdentity> identity() const;
    // The identity of what the path names (of a symbolic link itself unless
    // followLinks); none when nothing is there.
    static std::optional<FileIdentity> identityOf(const std::string& path, bool followLinks = false);

    platform::File& file() { return file_; }
    const platform::File& file() const { return file_; }
    bool valid() const { return file_.valid(); }

private:
    explicit FileHandle(platform::File file) : file_(std::move(file)) {}

    platform::File file_;
    mutable std::optional<FileIdentity> identity_;
};

} // namespace vexa
