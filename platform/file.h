#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/secure_string.h"
#include "platform/unique_fd.h"

namespace vexa::platform {

// Which file a handle or a path names: device and inode.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What the file system tells about one file: what tells its states apart,
// and what decides who may change it.
struct FileFacts {
    FileIdentity identity;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool isRegular = false;
    bool isFolder = false;
    bool isLink = false;
    // The owner's number for messages; owned by the effective user, or by the
    // administrator (root).
    std::uint64_t ownerId = 0;
    bool ownedByUser = false;
    bool ownedByAdministrator = false;
    // A sticky folder: others may add entries but not replace ours.
    bool sticky = false;
    bool writableByGroup = false;
    bool writableByOthers = false;
    // The permission bits (07777), to give a replacement the old file's.
    std::uint32_t permissions = 0;
};

enum class FileAccess {
    Read,
    // Read only, and the open itself never waits: a FIFO without a writer or
    // a device opens at once, for facts() to show it is no regular file.
    ReadAtOnce,
    ReadWrite, // creates a missing file
    Append,    // write only, at the end; creates a missing file
    Write,     // write only; creates a missing file, empties an existing one
};

// Why an open failed: a missing file or folder will not appear by waiting
// for it, nor will a symbolic link go away.
enum class OpenFailure { None, Missing, Link, Other };

enum class FileLock { Shared, Exclusive };

enum class SeekOrigin { Start, Current, End };

// One open file. Created files are the owner's only (they hold card traffic
// and settings). All transfers retry after signals; the system's error code
// is left as the failing call set it.
class File {
public:
    File() = default;

    // Invalid on failure (failure() says why). With followLinks false a
    // symbolic link at path fails as OpenFailure::Link.
    static File open(const std::string& path, FileAccess access, bool followLinks = true);

    bool valid() const { return fd_.valid(); }
    OpenFailure failure() const { return failure_; }

    // An advisory lock, without waiting; false when another holder blocks it.
    // It ends when the file closes, in every process that shares the file.
    bool tryLock(FileLock lock);
    // None when nothing is open or the system cannot tell.
    std::optional<FileFacts> facts() const;

    // Count read, 0 at the end, -1 on a read error.
    std::int64_t read(std::span<char> buffer);
    // Reads one try only (a short count is no error): count, 0, or -1.
    std::int64_t readOnce(std::span<char> buffer);
    // Appends the rest of the file to text through buffers that are wiped
    // (keys come this way); false on a read error, or when text would grow
    // past maxSize (then it holds more than maxSize bytes).
    bool readAll(SecureString& text, std::size_t maxSize);
    // False when the file takes no more.
    bool writeAll(std::string_view data);
    // New position, -1 on failure.
    std::int64_t seek(std::int64_t offset, SeekOrigin origin);
    // Cuts the file to length bytes (empties it by default).
    bool truncate(std::int64_t length = 0);
    // Waits until the content is on the disk.
    bool sync();
    bool setPermissions(std::uint32_t permissions);

    // 0, or -1 when closing failed; 0 when nothing was open.
    int close() noexcept { return fd_.close(); }

private:
    friend bool replaceAtomically(const std::string&, std::string_view, std::uint32_t, std::optional<FileFacts>&);

    UniqueFd fd_;
    OpenFailure failure_ = OpenFailure::None;
};

// The facts of what the path names (of a symbolic link itself unless
// followLinks); none when nothing is there.
std::optional<FileFacts> factsOf(const std::string& path, bool followLinks = true);
// Makes one folder, the owner's only; false when it cannot (or is there).
bool makeFolder(const std::string& path);
// Renames from over to in one step.
bool renameFile(const std::string& from, const std::string& to);
// All of data to the standard error stream; false when it takes no more.
bool writeStandardError(std::string_view data);

} // namespace vexa::platform
