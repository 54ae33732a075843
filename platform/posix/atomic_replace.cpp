#include "platform/atomic_replace.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace vexa::platform {
namespace {

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool replaceAtomically(const std::string& path, std::string_view content, std::uint32_t permissions,
                       std::optional<FileFacts>& written) {
    std::string temp = path + ".XXXXXX";
    File file;
    file.fd_.reset(::mkstemp(temp.data())); // mode 0600 until told otherwise
    if (!file.valid()) return false;
    bool ok = (permissions == 0600 || file.setPermissions(permissions)) && file.writeAll(content) && file.sync();
    if (ok) written = file.facts();
    ok = file.close() == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

} // namespace vexa::platform
