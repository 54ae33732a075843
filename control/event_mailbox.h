#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "control/wake_signal.h"

namespace vexa {

// The seven events in slot order.
enum class CardEventKind : std::uint8_t {
    CardReady,
    CardError,
    CardRemoved,
    ReaderAdded,
    ReaderRemoved,
    CardInuse,
    CardUnused,
};

// One event with its arguments as the monitor raised them (narrow texts).
struct CardEvent {
    CardEventKind kind = CardEventKind::CardReady;
    std::string eventReader;
    std::string eventAtr;            // OnCardReady only
    std::int32_t eventProtocol = 0;  // OnCardReady only
    std::int32_t eventShareMode = 0; // OnCardInuse only
    std::string eventIdentifier;
};

// The one-slot hand-over of events from the event thread to the host's
// thread, which alone talks to the page. The event thread waits while the
// slot is taken, so events arrive in order and none is dropped or merged;
// only closing the mailbox (Reset, destruction) drops events.
class EventMailbox {
public:
    EventMailbox() = default;
    EventMailbox(const EventMailbox&) = delete;
    EventMailbox& operator=(const EventMailbox&) = delete;

    // Event thread: waits while the slot holds an earlier event, fills it and
    // wakes the host. False, with the event dropped, when the mailbox is
    // closed or gets closed while the post waits.
    bool post(CardEvent event);

    // Host thread: hands the pending event to fire, then frees the slot;
    // false when no event is pending.
    template <typename Fire>
    bool deliver(Fire&& fire) {
        if (state_.load(std::memory_order_acquire) != kFull) return false;
        fire(static_cast<const CardEvent&>(slot_));
        slot_ = {};
        state_.store(kFree, std::memory_order_release);
        return true;
    }

    // Host thread: refuses events from now on; a waiting post gives up
    // within one poll interval.
    void close();
    // Host thread: empties the slot and takes events again. A post that
    // started before the last close stays refused.
    void open();

    // Readable while an event may be pending (poll(2) it, then clearWake and
    // deliver).
    int wakeFd() const { return wake_.fd(); }
    void clearWake() { wake_.clear(); }
    // Posts waiting for the slot right now.
    int waitingPosts() const { return waiting_.load(); }

private:
    // The claim flag: a post owns the slot from Free to Filling until it
    // stores Full; the host owns it from Full until it stores Free.
    static constexpr int kFree = 0;
    static constexpr int kFilling = 1;
    static constexpr int kFull = 2;

    bool claim(std::uint64_t epoch);

    std::atomic<int> state_{kFree};
    std::atomic<bool> closed_{false};
    std::atomic<std::uint64_t> epoch_{0}; // counts closes
    std::atomic<int> waiting_{0};
    CardEvent slot_;
    WakeSignal wake_;
};

} // namespace vexa
