#pragma once

namespace vexa {

// An eventfd that one thread signals and another waits on with poll(2).
// Signals do not queue: several before a clear wake the waiter once.
class WakeSignal {
public:
    // Throws std::system_error when no eventfd can be made.
    WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;
    ~WakeSignal();

    // Safe from any thread.
    void signal() noexcept;
    // Takes back every signal so far; never blocks.
    void clear() noexcept;
    // Readable while signalled.
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace vexa
