#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/file_handle.h"

namespace vexa {

// What tells one state of a file on disk from another: replacing the file
// changes the inode, writing it the size or the modification time.
struct FileStamp {
    FileIdentity file;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// A file named by directory, location and name, resolved to a full path by a
// fixed rule that knows the user's config home. Opens retry for a bounded time
// and emulate Windows share modes with flock, so several writers (objects or
// processes) can share one file.
class TovFile {
public:
    enum Access { ReadOnly = 0, ReadWrite = 1, Append = 2, Truncate = 3 };
    enum Share { Shared = 0, OthersRead = 1, Exclusive = 2 };
    enum Origin { Start = 0, Current = 1, End = 2 };

    TovFile() = default;
    // Copies the names, never the open handle.
    TovFile(const TovFile& other);
    TovFile& operator=(const TovFile& other);
    TovFile(TovFile&& other) noexcept = default;
    TovFile& operator=(TovFile&& other) noexcept = default;
    ~TovFile() = default;

    void set(std::string_view directory, std::string_view location, std::string_view name);
    // name when it is complete (a leading separator or a drive colon), else
    // name in folder.
    static std::string pathIn(std::string_view folder, std::string_view name);
    // The folder part of a path ("" for a bare name).
    static std::string folderOf(std::string_view path);
    // Resolves on first use.
    const std::string& resolvedPath();
    void setResolvedPath(std::string_view path);

    // False: opening fails at once when the path is a symbolic link (the
    // log, which a link could point at another file of the user's).
    void setFollowLinks(bool follow) { followLinks_ = follow; }
    // True: opening fails at once unless the file and its folders pass the
    // trust rule of file_trust.h (the folders up to the config home when it
    // holds the file, else the file's own folder).
    void setTrustRequired(bool required) { trustRequired_ = required; }
    // Why the last open failed at once for a link or the trust rule, naming
    // the path ("" when it did not).
    const std::string& refusal() const { return refusal_; }

    // 0 when open, 1 after every try within budgetMs failed (or for an
    // access value outside 0..3).
    int openFile(int access, bool untranslated, int share, int budgetMs);
    int close();
    bool isOpen() const { return handle_.valid(); }
    // The open file's identity; none when nothing is open.
    std::optional<FileIdentity> identity() const { return handle_.identity(); }
    // What the system tells about the open file; none when nothing is open.
    std::optional<platform::FileFacts> facts() const { return handle_.file().facts(); }
    // True while the path still names the open file: false once another
    // writer renamed it away (or replaced it).
    bool stillAtPath() const;
    // New position, or -1 when not open.
    std::int64_t position(std::int64_t offset, int origin);
    std::int64_t length();
    // 0 all written, 3 fewer written, -1 not open.
    int writeBytes(const void* bytes, std::uint32_t n);
    int writeBytes(std::span<const char> bytes);
    int writeText(std::string_view text);
    // Cuts the file back to length bytes: 0, 3 when that failed, -1 not open.
    int truncate(std::int64_t length);
    // 0 with n = count read, 2 read error, 4 end of file, -1 not open. The
    // buffer (n + 1 bytes) is zero-terminated after the bytes read.
    int readBytes(char* buffer, std::uint32_t& n);
    // The same, n limited to buffer.size() - 1 so the terminator fits.
    int readBytes(std::span<char> buffer, std::uint32_t& n);
    int readChar(char& c);
    bool atEnd() const { return atEnd_; }

    // The config home: APPDATA, USERPROFILE or windir if set and a folder
    // that passes the trust rule, else the user's own config home.
    static std::string configHome();
    // XDG_CONFIG_HOME, else $HOME/.config ("" without HOME).
    static std::string userConfigHome();
    // The stamp of the file at path; nullopt when there is none.
    static std::optional<FileStamp> stampOf(const std::string& path);
    // The stamp of a file by what the system tells about it.
    static FileStamp stampFrom(const platform::FileFacts& facts);

private:
    void resolve();
    std::size_t readRaw(std::span<char> buffer, bool& eof, bool& error);
    std::size_t joinLineEnds(std::span<char> data);
    bool refuseLink(const std::string& path);
    bool refuseFolders(const std::string& path);
    bool refuseOpenFile(const std::string& path);

    std::string directory_, location_, name_, resolved_;
    FileHandle handle_;
    bool atEnd_ = false;
    bool translated_ = false;
    bool followLinks_ = true;
    bool trustRequired_ = false;
    std::string refusal_;
};

} // namespace vexa
