#include "support/file_trust.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vexa {
namespace {

std::string distrustOf(const struct stat& status) {
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return "is owned by another user (uid " + std::to_string(status.st_uid) + ")";
    if (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0) return {};
    if ((status.st_mode & S_IWOTH) != 0) return "is writable by others";
    if ((status.st_mode & S_IWGRP) != 0) return "is writable by its group";
    return {};
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string_view folderOf(std::string_view path) {
    path = withoutTrailingSlashes(path);
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

bool holds(std::string_view folder, std::string_view path) {
    return folder == "/" || (path.starts_with(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

} // namespace

std::string distrustOfOpenFile(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return "cannot be examined";
    return distrustOf(status);
}

std::string distrustOfFolder(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return "does not exist";
    if (!S_ISDIR(status.st_mode)) return "is not a folder";
    return distrustOf(status);
}

std::string distrustOfFolders(std::string_view file, std::string_view top) {
    top = withoutTrailingSlashes(top);
    const bool walkUp = !top.empty() && holds(top, file);
    for (std::string_view folder = folderOf(file);; folder = folderOf(folder)) {
        const std::string name(folder);
        struct stat status {};
        // Nothing there yet: no file below it can be opened either.
        const bool present = ::stat(name.c_str(), &status) == 0;
        if (std::string why = present ? distrustOfFolder(name) : ""; !why.empty()) return "'" + name + "' " + why;
        if (!walkUp || folder == top || folder == "/" || folder == ".") return {};
    }
}

} // namespace vexa
