#include "platform/memory_wipe.h"

#include <cstring>

namespace vexa::platform {

// What explicit_bzero does: memset at full speed, then a barrier that tells
// the compiler the zeros may be read, so the store is never dropped.
// (SecureZeroMemory's volatile byte loop would slow every message buffer.)
void wipeMemory(void* data, std::size_t size) {
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

} // namespace vexa::platform
