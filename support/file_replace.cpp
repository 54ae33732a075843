#include "support/file_replace.h"

#include "platform/atomic_replace.h"

namespace vexa {

bool replaceFile(const std::string& path, std::string_view content, std::optional<FileStamp>& stamp,
                 std::uint32_t mode) {
    std::optional<platform::FileFacts> written;
    const bool replaced = platform::replaceAtomically(path, content, mode, written);
    if (written) stamp = TovFile::stampFrom(*written);
    return replaced;
}

} // namespace vexa
