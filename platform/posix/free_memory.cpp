#include "platform/free_memory.h"

#include <malloc.h>

namespace vexa::platform {

void returnFreeMemory() {
    ::malloc_trim(0);
}

} // namespace vexa::platform
