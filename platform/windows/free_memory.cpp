#include "platform/free_memory.h"

namespace vexa::platform {

// The Windows heap decommits free pages by itself.
void returnFreeMemory() {}

} // namespace vexa::platform
