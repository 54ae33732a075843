#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/wake_signal.h"

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
        std::optional<CardEvent> event = take();
        if (!event) return false;
        // The slot stays taken while the event fires, so the next one waits.
        const SlotRelease release{*this};
        fire(static_cast<const CardEvent&>(*event));
        return true;
    }

    // Refuses events from now on and releases a waiting post.
    void close();
    // Host thread: empties the slot and takes events again. A post that
    // started before the last close stays refused.
    void open();

    // Readable while an event may be pending (poll(2) it, then clearWake and
    // deliver).
    platform::WaitHandle wakeHandle() const { return wake_.handle(); }
    void clearWake() { wake_.clear(); }
    // Posts waiting for the slot right now.
    int waitingPosts() const;

private:
    struct SlotRelease {
        EventMailbox& mailbox;
        ~SlotRelease() { mailbox.release(); }
    };

    // The pending event, moved out; the slot stays taken until release.
    std::optional<CardEvent> take();
    void release();

    mutable std::mutex mutex_;
    std::condition_variable slotFreed_; // also told of every close
    bool full_ = false;
    bool closed_ = false;
    // Counts closes, so that a post waiting across a close and the open that
    // follows still knows it belongs to a life of the plug-in that has ended.
    std::uint64_t closes_ = 0;
    int waiting_ = 0;
    CardEvent slot_;
    platform::WakeSignal wake_;
};

} // namespace vexa
