#include "control/event_mailbox.h"

#include <chrono>
#include <thread>

namespace vexa {
namespace {

// How often a waiting post looks at the slot again.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

} // namespace

bool EventMailbox::post(CardEvent event) {
    const std::uint64_t epoch = epoch_.load();
    if (closed_.load() || !claim(epoch)) return false;
    slot_ = std::move(event);
    state_.store(kFull, std::memory_order_release);
    wake_.signal();
    return true;
}

bool EventMailbox::claim(std::uint64_t epoch) {
    bool counted = false;
    bool claimed = false;
    for (;;) {
        int expected = kFree;
        if (state_.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) {
            // A close may have come between the start of the post and the
            // claim; the event then belongs to a life of the plug-in that
            // has ended.
            claimed = epoch_.load() == epoch;
            if (!claimed) state_.store(kFree, std::memory_order_release);
            break;
        }
        if (epoch_.load() != epoch) break;
        if (!counted) {
            counted = true;
            ++waiting_;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (counted) --waiting_;
    return claimed;
}

void EventMailbox::close() {
    closed_.store(true);
    ++epoch_;
}

void EventMailbox::open() {
    // A post that claimed the slot just before a close is only copying its
    // arguments; let it finish, then drop its event.
    while (state_.load(std::memory_order_acquire) == kFilling) std::this_thread::yield();
    if (state_.load(std::memory_order_acquire) == kFull) {
        slot_ = {};
        state_.store(kFree, std::memory_order_release);
    }
    closed_.store(false);
}

} // namespace vexa
