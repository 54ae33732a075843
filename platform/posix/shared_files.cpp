#include "platform/shared_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace vexa::platform {

namespace {
constexpr mode_t kSharedFolderMode = 0755;
}

int makeSharedFolder(const std::string& path) {
    if (::mkdir(path.c_str(), kSharedFolderMode) != 0) return errno;
    // Whatever the umask took away, browsers of other users must read it.
    return ::chmod(path.c_str(), kSharedFolderMode) == 0 ? 0 : errno;
}

int removeFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

std::uint32_t processId() {
    return static_cast<std::uint32_t>(::getpid());
}

std::string executablePath() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

} // namespace vexa::platform
