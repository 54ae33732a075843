#include "platform/memory_wipe.h"

#include <string.h>

namespace vexa::platform {

void wipeMemory(void* data, std::size_t size) {
    ::explicit_bzero(data, size);
}

} // namespace vexa::platform
