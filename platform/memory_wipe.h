#pragma once

#include <cstddef>

namespace vexa::platform {

// Overwrites size bytes at data with zeros in a way the compiler may not
// drop as a dead store (keys and PINs are wiped before memory goes back).
void wipeMemory(void* data, std::size_t size);

} // namespace vexa::platform
