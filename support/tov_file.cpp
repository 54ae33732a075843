#include "support/tov_file.h"

#include "platform/config_home.h"
#include "platform/path.h"
#include "support/file_trust.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

namespace vexa {

namespace {

constexpr int kOpenTries = 20;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool endsWithSeparator(std::string_view path) {
    return !path.empty() && isSeparator(path.back());
}

// A leading separator or a drive colon names the file completely.
bool isCompleteName(std::string_view name) {
    return (!name.empty() && isSeparator(name.front())) || name.find(':') != std::string_view::npos;
}

void appendPathPart(std::string& path, std::string_view part) {
    if (!path.empty() && !endsWithSeparator(path)) path += platform::kPathSeparator;
    path += part;
}

// Creates the directory and any missing parents, the owner's only: they
// hold the log and settings. (A drive or share name that cannot be made just
// fails on the way.)
void makeDirectories(const std::string& path) {
    for (std::size_t at = 1; at < path.size(); ++at)
        if (platform::isPathSeparator(path[at])) platform::makeFolder(path.substr(0, at));
    platform::makeFolder(path);
}

std::optional<platform::FileAccess> fileAccess(int access) {
    switch (access) {
        case TovFile::ReadOnly:
            return platform::FileAccess::Read;
        case TovFile::ReadWrite:
            return platform::FileAccess::ReadWrite;
        case TovFile::Append:
            return platform::FileAccess::Append;
        // Emptied only once the lock is held, so a waiting opener never destroys
        // a file that somebody else is still using.
        case TovFile::Truncate:
            return platform::FileAccess::ReadWrite;
        default:
            return std::nullopt;
    }
}

// A missing file or directory will not appear by waiting for it, nor will a
// symbolic link go away.
bool isHopeless(platform::OpenFailure failure) {
    return failure == platform::OpenFailure::Missing || failure == platform::OpenFailure::Link;
}

// Whether the descriptor still is the file that path names. A file that
// is saved by renaming a new one over it (TovConf), or a log rotated by
// another writer, may have been replaced between our open and our lock; its
// lock then guards nothing.
bool stillAtPath(const FileHandle& handle, const std::string& path, bool followLinks) {
    const std::optional<FileIdentity> open = handle.identity();
    return open && open == FileHandle::identityOf(path, followLinks);
}

// One try: open, lock, check the locked file is still at the path, and for
// access 3 empty the file.
FileHandle tryOpen(const std::string& path, platform::FileAccess access, int share, bool truncate, bool followLinks,
                   bool& hopeless) {
    FileHandle handle = FileHandle::open(path, access, followLinks);
    hopeless = !handle.valid() && isHopeless(handle.file().failure());
    if (!handle.valid() || !handle.tryLock(share) || !stillAtPath(handle, path, followLinks)) return {};
    if (truncate && !handle.file().truncate()) return {};
    return handle;
}

} // namespace

TovFile::TovFile(const TovFile& other)
    : directory_(other.directory_),
      location_(other.location_),
      name_(other.name_),
      resolved_(other.resolved_),
      followLinks_(other.followLinks_),
      trustRequired_(other.trustRequired_) {}

TovFile& TovFile::operator=(const TovFile& other) {
    if (this != &other) {
        close();
        directory_ = other.directory_;
        location_ = other.location_;
        name_ = other.name_;
        resolved_ = other.resolved_;
        followLinks_ = other.followLinks_;
        trustRequired_ = other.trustRequired_;
    }
    return *this;
}

std::string TovFile::configHome() {
    // Windows names; on Linux they come from a user's own environment, but may
    // name a folder that another user can fill with settings and sites.
    for (const char* name : {"APPDATA", "USERPROFILE", "windir"}) {
        std::string value = platform::environmentValue(name);
        if (!value.empty() && distrustOfFolder(value).empty()) return value;
    }
    return userConfigHome();
}

std::string TovFile::userConfigHome() {
    return platform::userConfigHome();
}

FileStamp TovFile::stampFrom(const platform::FileFacts& facts) {
    return FileStamp{facts.identity, facts.size, facts.modifiedNs};
}

std::optional<FileStamp> TovFile::stampOf(const std::string& path) {
    const auto facts = platform::factsOf(path);
    if (!facts) return std::nullopt;
    return stampFrom(*facts);
}

std::string TovFile::pathIn(std::string_view folder, std::string_view name) {
    if (isCompleteName(name)) return std::string(name);
    std::string path(folder);
    appendPathPart(path, name);
    return path;
}

std::string TovFile::folderOf(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0 && !isSeparator(path[end - 1])) --end;
    while (end > 1 && isSeparator(path[end - 1])) --end;
    return std::string(path.substr(0, end));
}

void TovFile::set(std::string_view directory, std::string_view location, std::string_view name) {
    directory_ = directory;
    location_ = location;
    name_ = name;
    resolved_.clear();
}

const std::string& TovFile::resolvedPath() {
    if (resolved_.empty()) resolve();
    return resolved_;
}

void TovFile::setResolvedPath(std::string_view path) {
    resolved_ = path;
}

void TovFile::resolve() {
    if (isCompleteName(name_)) {
        resolved_ = name_;
        return;
    }
    std::string path;
    if (location_ == "HOMEDIR") {
        path = configHome();
        if (!path.empty()) {
            appendPathPart(path, directory_);
            // A new user may not have the config home yet either; a failure
            // shows later as a failed open.
            if (!directory_.empty()) makeDirectories(path);
        }
    } else if (!location_.empty()) {
        path = platform::environmentValue(location_);
        if (path.empty()) path = location_;
    }
    if (!name_.empty()) appendPathPart(path, name_);
    resolved_ = std::move(path);
}

// Each sets refusal_ and tells whether the file at path is refused: as a
// link, for its folders, or as the file that was opened.
bool TovFile::refuseLink(const std::string& path) {
    const auto facts = followLinks_ ? std::nullopt : platform::factsOf(path, false);
    if (facts && facts->isLink) refusal_ = "'" + path + "' is a symbolic link";
    return !refusal_.empty();
}

bool TovFile::refuseFolders(const std::string& path) {
    if (trustRequired_)
        for (const std::string& top : {configHome(), userConfigHome()})
            if (refusal_.empty()) refusal_ = distrustOfFolders(path, top);
    return !refusal_.empty();
}

bool TovFile::refuseOpenFile(const std::string& path) {
    if (!trustRequired_) return false;
    if (std::string why = distrustOfOpenFile(handle_.file()); !why.empty()) refusal_ = "'" + path + "' " + why;
    return !refusal_.empty();
}

int TovFile::openFile(int access, bool untranslated, int share, int budgetMs) {
    close();
    refusal_.clear();
    const std::optional<platform::FileAccess> fileAccess = vexa::fileAccess(access);
    if (!fileAccess) return 1;
    const std::string& path = resolvedPath();
    if (refuseLink(path) || refuseFolders(path)) return 1;
    const std::chrono::milliseconds pause(std::max(budgetMs, 0) / kOpenTries);
    for (int attempt = 0; attempt < kOpenTries; ++attempt) {
        bool hopeless = false;
        handle_ = tryOpen(path, *fileAccess, share, access == Truncate, followLinks_, hopeless);
        if (handle_.valid()) {
            // What was opened is judged, not what the path named before.
            if (refuseOpenFile(path)) {
                close();
                return 1;
            }
            translated_ = !untranslated;
            return 0;
        }
        // Retrying only helps against another holder of the file.
        if (hopeless) {
            refuseLink(path);
            return 1;
        }
        std::this_thread::sleep_for(pause);
    }
    return 1;
}

bool TovFile::stillAtPath() const {
    return ::vexa::stillAtPath(handle_, resolved_, followLinks_);
}

int TovFile::close() {
    atEnd_ = false;
    return handle_.close();
}

std::int64_t TovFile::position(std::int64_t offset, int origin) {
    if (!isOpen()) return -1;
    platform::SeekOrigin from;
    switch (origin) {
        case Start:
            from = platform::SeekOrigin::Start;
            break;
        case Current:
            from = platform::SeekOrigin::Current;
            break;
        case End:
            from = platform::SeekOrigin::End;
            break;
        default:
            atEnd_ = false;
            return -1;
    }
    const std::int64_t result = handle_.file().seek(offset, from);
    atEnd_ = result >= 0 && origin == End && offset == 0;
    return result;
}

std::int64_t TovFile::length() {
    const auto facts = handle_.file().facts();
    return facts ? facts->size : -1;
}

int TovFile::writeBytes(const void* bytes, std::uint32_t n) {
    if (n > 0 && bytes == nullptr) return isOpen() ? 3 : -1;
    return writeBytes(std::span<const char>(static_cast<const char*>(bytes), n));
}

int TovFile::writeBytes(std::span<const char> bytes) {
    if (!isOpen()) return -1;
    // Text mode writes no carriage returns: the files are Linux files.
    return handle_.file().writeAll(std::string_view(bytes.data(), bytes.size())) ? 0 : 3;
}

int TovFile::writeText(std::string_view text) {
    return writeBytes(std::span<const char>(text.data(), text.size()));
}

int TovFile::truncate(std::int64_t length) {
    if (!isOpen()) return -1;
    return handle_.file().truncate(length) ? 0 : 3;
}

int TovFile::readBytes(char* buffer, std::uint32_t& n) {
    if (buffer == nullptr) {
        n = 0;
        return isOpen() ? 2 : -1;
    }
    return readBytes(std::span<char>(buffer, std::size_t{n} + 1), n);
}

int TovFile::readBytes(std::span<char> buffer, std::uint32_t& n) {
    const std::size_t wanted = std::min<std::size_t>(n, buffer.empty() ? 0 : buffer.size() - 1);
    n = 0;
    if (!buffer.empty()) buffer[0] = '\0';
    if (!isOpen()) return -1;
    if (buffer.empty()) return 2;
    if (wanted == 0) return 0;
    bool eof = false, error = false;
    std::size_t count = readRaw(buffer.first(wanted), eof, error);
    if (error) {
        buffer[0] = '\0';
        return 2;
    }
    atEnd_ = eof;
    if (count == 0) return 4;
    if (translated_) count = joinLineEnds(buffer.first(count));
    buffer[count] = '\0';
    n = static_cast<std::uint32_t>(count);
    return 0;
}

int TovFile::readChar(char& c) {
    char buffer[2] = {};
    std::uint32_t n = 1;
    const int result = readBytes(std::span<char>(buffer), n);
    c = buffer[0];
    return result;
}

// Reads until the buffer is full, the file ends or a read fails.
std::size_t TovFile::readRaw(std::span<char> buffer, bool& eof, bool& error) {
    const std::int64_t count = handle_.file().read(buffer);
    error = count < 0;
    if (error) return 0;
    eof = static_cast<std::size_t>(count) < buffer.size();
    return static_cast<std::size_t>(count);
}

// Text mode: carriage return and line feed read as one line feed, so files
// written on Windows read the same. Returns the new count.
std::size_t TovFile::joinLineEnds(std::span<char> data) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < data.size(); ++in) {
        if (data[in] == '\r' && in + 1 < data.size() && data[in + 1] == '\n') continue;
        data[out++] = data[in];
    }
    if (out == 0 || data[out - 1] != '\r' || atEnd_) return out;
    // A carriage return last in the buffer: look at the byte after it.
    char next = 0;
    const std::int64_t result = handle_.file().readOnce(std::span<char>(&next, 1));
    if (result == 1 && next == '\n')
        data[out - 1] = '\n';
    else if (result == 1)
        handle_.file().seek(-1, platform::SeekOrigin::Current);
    else if (result == 0)
        atEnd_ = true;
    return out;
}

} // namespace vexa
