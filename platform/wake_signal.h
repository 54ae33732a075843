#pragma once

#include <new>

#include "platform/wait_handle.h"

namespace vexa::platform {

// One thread signals, another waits on handle() until it is readable.
// Signals do not queue: several before a clear wake the waiter once.
class WakeSignal {
public:
    // Throws std::system_error when the system has none to give.
    WakeSignal();
    // Not valid() when the system has none to give; signalling it then does
    // nothing and waiting on it never wakes.
    explicit WakeSignal(std::nothrow_t) noexcept;
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    ~WakeSignal();

    // Safe from any thread.
    void signal() noexcept;
    // Takes back every signal so far; never blocks.
    void clear() noexcept;
    bool valid() const { return handle_ != kNoWaitHandle; }
    // Readable while signalled.
    WaitHandle handle() const { return handle_; }

private:
    WaitHandle handle_;
};

} // namespace vexa::platform
