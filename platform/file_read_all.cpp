#include <array>

#include "platform/file.h"
#include "platform/memory_wipe.h"

namespace vexa::platform {

bool File::readAll(SecureString& text, std::size_t maxSize) {
    // Reserved up front, so the text is not copied as it grows.
    text.reserve(text.size() + 4096);
    std::array<char, 4096> chunk;
    std::int64_t got = 0;
    while ((got = read(chunk)) > 0 && text.size() <= maxSize) text.append(chunk.data(), static_cast<std::size_t>(got));
    wipeMemory(chunk.data(), chunk.size());
    return got == 0 && text.size() <= maxSize;
}

} // namespace vexa::platform
