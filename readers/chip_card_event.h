#pragma once

#include <cstdint>
#include <string_view>

namespace vexa {

// The event sink of the plug-in: the seven card and reader events, in slot
// order, that the event monitor raises on its own thread. The base ignores
// them; the browser host overrides them to carry each event to the page.
class ChipCardEvent {
public:
    ChipCardEvent() = default;
    ChipCardEvent(const ChipCardEvent&) = delete;
    ChipCardEvent& operator=(const ChipCardEvent&) = delete;
    virtual ~ChipCardEvent() = default;

    // atr: upper-case hex with a blank after every byte; protocol: from the
    // ATR, 0 when it names none.
    virtual void OnCardReady(std::string_view reader, std::string_view atr, std::int32_t protocol,
                             std::string_view eventIdentifier);
    virtual void OnCardError(std::string_view reader, std::string_view eventIdentifier);
    virtual void OnCardRemoved(std::string_view reader, std::string_view eventIdentifier);
    virtual void OnReaderAdded(std::string_view reader, std::string_view eventIdentifier);
    virtual void OnReaderRemoved(std::string_view reader, std::string_view eventIdentifier);
    // shareMode: 1 exclusive, 2 shared, 3 direct.
    virtual void OnCardInuse(std::string_view reader, std::int32_t shareMode, std::string_view eventIdentifier);
    virtual void OnCardUnused(std::string_view reader, std::string_view eventIdentifier);

    // Returns event monitoring to the disabled state. The owner calls it
    // before it releases anything the event operations use.
    void resetEvents();

protected:
    // Called first by resetEvents. An override of the event operations that
    // can wait (for the host to take an earlier event) must stop waiting and
    // drop its event from now on, so that stopping the event thread never
    // waits for a host that is itself busy stopping it.
    virtual void interruptEventDelivery() {}
};

} // namespace vexa
