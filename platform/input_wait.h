#pragma once

#include <span>

#include "platform/wait_handle.h"

namespace vexa::platform {

// Waits until one of handles is ready to read (or has hung up or failed) or
// timeoutMs has passed (negative: no limit); ready[i] tells which, kNoWaitHandle
// places never are. Above 0 when some are ready, 0 on time-out, -1 with errno
// set when the wait failed (EINTR when a signal interrupted it).
int waitReadable(std::span<const WaitHandle> handles, std::span<bool> ready, int timeoutMs);

} // namespace vexa::platform
