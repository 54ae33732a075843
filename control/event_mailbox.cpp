#include "control/event_mailbox.h"

#include <utility>

namespace vexa {

bool EventMailbox::post(CardEvent event) {
    std::unique_lock lock(mutex_);
    if (closed_) return false;
    const std::uint64_t closes = closes_;
    ++waiting_;
    slotFreed_.wait(lock, [&] { return !full_ || closes_ != closes; });
    --waiting_;
    if (closes_ != closes) return false;
    slot_ = std::move(event);
    full_ = true;
    wake_.signal();
    return true;
}

std::optional<CardEvent> EventMailbox::take() {
    const std::lock_guard lock(mutex_);
    if (!full_) return std::nullopt;
    return std::exchange(slot_, {});
}

void EventMailbox::release() {
    {
        const std::lock_guard lock(mutex_);
        full_ = false;
    }
    slotFreed_.notify_all();
}

void EventMailbox::close() {
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        ++closes_;
    }
    slotFreed_.notify_all();
}

int EventMailbox::waitingPosts() const {
    const std::lock_guard lock(mutex_);
    return waiting_;
}

void EventMailbox::open() {
    const std::lock_guard lock(mutex_);
    slot_ = {};
    full_ = false;
    closed_ = false;
}

} // namespace vexa
