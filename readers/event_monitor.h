#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "readers/reader_state_list.h"
#include "readers/reader_status_source.h"
#include "readers/scapi_management.h"
#include "support/tov_exception.h"
#include "support/tov_log.h"

namespace vexa {

class ChipCardEvent;

// One run of event monitoring of one interface type, from EnableEvents until
// its thread ends: each pass asks for reader state changes (PC/SC waits in
// the resource manager for up to 100 ms, a remote server is polled every
// 100 ms), compares them with what it remembers per reader and raises the
// events on the sink. Everything here belongs to the monitor thread while
// it runs; the owner only stops it (from any thread) and joins it.
class EventMonitor {
public:
    EventMonitor(ChipCardEvent& sink, const TovLog& log, std::string identifier, std::int32_t interfaceType,
                 RemoteServers servers);
    EventMonitor(const EventMonitor&) = delete;
    EventMonitor& operator=(const EventMonitor&) = delete;
    ~EventMonitor();

    // The thread body: passes until stopped, then releases everything.
    void run();
    // One pass; tests drive it directly. True when it waited for changes in
    // the source, so that the next pass needs no sleep before it.
    bool pass();
    // Ends the run after the current pass, waking its sleep or its wait.
    void stop();

    bool enabled() const { return enabled_.load(); }
    bool running() const { return running_.load(); }
    TovLog& log() { return eventLog_; }

private:
    void initialise();
    void compareStates();
    void compareEntry(std::size_t position, bool& readersChanged);
    void refreshReaders();
    void fail(const std::string& text);
    void release();
    void reportRemovedReaders();
    void logReaderState(std::size_t position);
    void event(const std::string& text) { eventLog_.write(LOG_DEBUG, text); }

    ChipCardEvent& sink_;
    TovLog eventLog_;
    const std::string identifier_;
    const std::int32_t interfaceType_;
    const RemoteServers servers_;

    ReaderStateList states_;
    ScapiManagement inventory_;
    std::unique_ptr<ReaderStatusSource> source_;
    bool retrying_ = false;
    // The page knows the watched readers: either they were there when
    // monitoring began, or their arrival was reported.
    bool announced_ = false;
    std::string lastErrorText_;

    std::atomic<bool> enabled_{true};
    std::atomic<bool> running_{false};
    // Guards the sleep and source_ against stop, which cancels its wait.
    std::mutex lock_;
    std::condition_variable sleep_;
};

} // namespace vexa
