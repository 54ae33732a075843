#pragma once

#include <mutex>

namespace vexa {

// Re-entrant lock: the owning thread may lock again and unlocks as often.
class TovMutex {
public:
    TovMutex() = default;
    TovMutex(const TovMutex&) = delete;
    TovMutex& operator=(const TovMutex&) = delete;

    void lock() { mutex_.lock(); }
    // False when another thread holds it; never waits.
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

} // namespace vexa
