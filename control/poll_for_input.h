#pragma once

#include <poll.h>

#include <span>

namespace vexa {

class ChipCardPlugin;

// Waits with poll(2) until one of fds is ready, as the browser host and the
// shell do between calls. While the plug-in's card connection holds a
// transaction, the wait also wakes at its idle deadline and lets the plug-in
// end it, then waits on. poll's result: above 0 when ready, -1 with errno.
int pollForInput(std::span<pollfd> fds, ChipCardPlugin* plugin);

} // namespace vexa
