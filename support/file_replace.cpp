#include "support/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/blocking_io.h"
#include "support/unique_fd.h"

namespace vexa {
namespace {

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool replaceFile(const std::string& path, std::string_view content, std::optional<FileStamp>& stamp, mode_t mode) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkstemp(temp.data())); // mode 0600 until told otherwise
    if (fd.get() < 0) return false;
    bool ok = (mode == 0600 || ::fchmod(fd.get(), mode) == 0) && writeAll(fd.get(), content) && ::fsync(fd.get()) == 0;
    if (ok) stamp = TovFile::stampOf(fd.get());
    ok = fd.close() == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

} // namespace vexa
