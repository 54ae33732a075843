#pragma once

#include <cstdint>

namespace vexa::platform {

// The system's handle of something a wait can wake on (a socket, a wake
// signal, the stop signals, standard input), as a neutral number.
using WaitHandle = std::intptr_t;
// No handle: never ready, so a wait can keep a place for something absent.
inline constexpr WaitHandle kNoWaitHandle = -1;

} // namespace vexa::platform
