#pragma once

#include <span>

#include "platform/wait_handle.h"

namespace vexa {

class ChipCardPlugin;

// Waits until one of handles is readable, as the browser host and the shell
// do between calls; ready[i] tells which. While the plug-in's card connection
// holds a transaction, the wait also wakes at its idle deadline and lets the
// plug-in end it, then waits on. Above 0 when ready, -1 with errno.
int pollForInput(std::span<const platform::WaitHandle> handles, std::span<bool> ready, ChipCardPlugin* plugin);

} // namespace vexa
