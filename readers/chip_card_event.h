#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "cardaccess/remote_servers.h"
#include "support/tov_log.h"

namespace vexa {

class EventMonitor;

// The event sink of the plug-in and the switch of its event monitor: between
// enableEvents and disableEvents a monitor thread raises the seven card and
// reader events, in slot order below, on this object. The base ignores them
// (a plug-in without a page to tell); the browser host overrides them to
// carry each event to the page.
class ChipCardEvent {
public:
    ChipCardEvent();
    ChipCardEvent(const ChipCardEvent&) = delete;
    ChipCardEvent& operator=(const ChipCardEvent&) = delete;
    virtual ~ChipCardEvent();

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

    // Starts monitoring the readers of the interface type (servers: the
    // remote server list) with a copy of log's settings; every event carries
    // the identifier. 0, or -1 when the thread cannot start. While enabled
    // it changes nothing.
    std::int32_t enableEvents(TovLog& log, std::string_view eventIdentifier, std::int32_t interfaceType,
                              const RemoteServers& servers);
    // Lets the monitor thread end after its current pass. Always 0.
    std::int32_t disableEvents(TovLog& log);
    // Returns event monitoring to the disabled state: stops every monitor
    // thread and waits for it. The owner calls it before it releases
    // anything the event operations use.
    void resetEvents();

    bool eventsEnabled() const;

protected:
    // Called first by resetEvents. An override of the event operations that
    // can wait (for the host to take an earlier event) must stop waiting and
    // drop its event from now on, so that stopping the event thread never
    // waits for a host that is itself busy stopping it.
    virtual void interruptEventDelivery() {}

private:
    // A monitor and the thread running it; stops and joins it when dropped.
    struct MonitorThread {
        std::unique_ptr<EventMonitor> monitor;
        std::thread thread;

        MonitorThread() = default;
        MonitorThread(const MonitorThread&) = delete;
        MonitorThread& operator=(const MonitorThread&) = delete;
        ~MonitorThread();
    };

    void joinFinished();

    // The monitors of the last enableEvents, one per watched interface type
    // (all types at once: PC/SC and the remote servers, each in a thread of
    // its own so that a slow server never holds back local events); the
    // last has no thread when it failed to start one.
    std::vector<std::unique_ptr<MonitorThread>> current_;
    // Earlier monitors told to stop whose threads may still finish a pass.
    // They own all they use, so a new monitor can start at once beside them.
    std::vector<std::unique_ptr<MonitorThread>> stopping_;
};

} // namespace vexa
