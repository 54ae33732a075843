#include "support/file_trust.h"

#include <algorithm>

#include "platform/path.h"

namespace vexa {
namespace {

std::string distrustOf(const platform::FileFacts& facts) {
    if (!facts.ownedByUser && !facts.ownedByAdministrator)
        return "is owned by another user (uid " + std::to_string(facts.ownerId) + ")";
    if (facts.isFolder && facts.sticky) return {};
    if (facts.writableByOthers) return "is writable by others";
    if (facts.writableByGroup) return "is writable by its group";
    return {};
}

std::string octal(std::uint32_t mode) {
    std::string digits;
    for (int shift = 9; shift >= 0; shift -= 3) digits += static_cast<char>('0' + (mode >> shift & 7));
    return digits.substr(1);
}

std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && platform::isPathSeparator(path.back())) path.remove_suffix(1);
    return path;
}

// The folder part of a path: "." for a bare name, "/" for a name in the root.
// Windows paths separate with '\' as well.
std::string_view folderOf(std::string_view path) {
    path = withoutTrailingSlashes(path);
    const auto slash = std::find_if(path.rbegin(), path.rend(), platform::isPathSeparator);
    if (slash == path.rend()) return ".";
    const auto at = static_cast<std::size_t>(path.rend() - slash - 1);
    return at == 0 ? path.substr(0, 1) : path.substr(0, at);
}

bool holds(std::string_view folder, std::string_view path) {
    return (folder.size() == 1 && platform::isPathSeparator(folder[0])) ||
           (path.starts_with(folder) && path.size() > folder.size() && platform::isPathSeparator(path[folder.size()]));
}

} // namespace

std::string distrustOfOpenFile(const platform::File& file) {
    const auto facts = file.facts();
    if (!facts) return "cannot be examined";
    return distrustOf(*facts);
}

std::string distrustOfPrivateKey(const platform::File& file) {
    const auto facts = file.facts();
    if (!facts) return "cannot be examined";
    if (!facts->ownedByUser) return "is owned by another user (uid " + std::to_string(facts->ownerId) + ")";
    if ((facts->permissions & 077) != 0)
        return "can be read or changed by others (mode 0" + octal(facts->permissions) + ")";
    return {};
}

std::string distrustOfFolder(const std::string& path) {
    const auto facts = platform::factsOf(path);
    if (!facts) return "does not exist";
    if (!facts->isFolder) return "is not a folder";
    return distrustOf(*facts);
}

std::string distrustOfFolders(std::string_view file, std::string_view top) {
    top = withoutTrailingSlashes(top);
    const bool walkUp = !top.empty() && holds(top, file);
    for (std::string_view folder = folderOf(file);; folder = folderOf(folder)) {
        const std::string name(folder);
        // Nothing there yet: no file below it can be opened either.
        const bool present = platform::factsOf(name).has_value();
        if (std::string why = present ? distrustOfFolder(name) : ""; !why.empty()) return "'" + name + "' " + why;
        const bool root = folder.size() == 1 && platform::isPathSeparator(folder[0]);
        if (!walkUp || folder == top || root || folder == ".") return {};
    }
}

} // namespace vexa
