#include "readers/chip_card_event.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "readers/event_monitor.h"
#include "readers/reader_interfaces.h"

namespace vexa {
namespace {

// The interface types watched for a configured one: itself, or for all types
// those with events, and those on servers only with servers.
std::vector<std::int32_t> watchedTypes(std::int32_t interfaceType, const RemoteServers& servers) {
    const std::vector<const ReaderInterface*> rows = configuredInterfaces(interfaceType);
    if (readerInterface(interfaceType) != nullptr || rows.empty()) return {interfaceType};
    std::vector<std::int32_t> types;
    for (const ReaderInterface* row : rows)
        if (row->makeStatusSource != nullptr && (!row->needsServers || !servers.empty())) types.push_back(row->type);
    return types;
}

} // namespace

ChipCardEvent::ChipCardEvent() = default;

ChipCardEvent::~ChipCardEvent() {
    resetEvents();
}

ChipCardEvent::MonitorThread::~MonitorThread() {
    if (monitor) monitor->stop();
    if (thread.joinable()) thread.join();
}

void ChipCardEvent::OnCardReady(std::string_view, std::string_view, std::int32_t, std::string_view) {}
void ChipCardEvent::OnCardError(std::string_view, std::string_view) {}
void ChipCardEvent::OnCardRemoved(std::string_view, std::string_view) {}
void ChipCardEvent::OnReaderAdded(std::string_view, std::string_view) {}
void ChipCardEvent::OnReaderRemoved(std::string_view, std::string_view) {}
void ChipCardEvent::OnCardInuse(std::string_view, std::int32_t, std::string_view) {}
void ChipCardEvent::OnCardUnused(std::string_view, std::string_view) {}

bool ChipCardEvent::eventsEnabled() const {
    return std::any_of(current_.begin(), current_.end(), [](const auto& t) { return t->monitor->enabled(); });
}

std::int32_t ChipCardEvent::enableEvents(TovLog& log, std::string_view eventIdentifier, std::int32_t interfaceType,
                                         const RemoteServers& servers) {
    if (eventsEnabled()) {
        log.write(LOG_DEBUG, "Events are already enabled");
        return 0;
    }
    joinFinished();
    for (auto& earlier : current_)
        if (earlier->thread.joinable()) stopping_.push_back(std::move(earlier));
    current_.clear();
    for (const std::int32_t type : watchedTypes(interfaceType, servers)) {
        auto& added = current_.emplace_back(std::make_unique<MonitorThread>());
        added->monitor = std::make_unique<EventMonitor>(*this, log, std::string(eventIdentifier), type, servers);
        try {
            added->thread = std::thread(&EventMonitor::run, added->monitor.get());
        } catch (const std::system_error&) {
            added->monitor->log().write(LOG_FATAL, "Unable to start event handler thread");
            return -1;
        }
    }
    return 0;
}

std::int32_t ChipCardEvent::disableEvents(TovLog& log) {
    if (!eventsEnabled()) {
        log.write(LOG_DEBUG, "Events are already disabled");
        return 0;
    }
    // Running threads end by themselves; a monitor without one goes now.
    for (auto& t : current_) t->monitor->stop();
    std::erase_if(current_, [](const auto& t) { return !t->thread.joinable(); });
    return 0;
}

void ChipCardEvent::resetEvents() {
    interruptEventDelivery();
    // All told first, so that their last passes end side by side.
    for (auto& t : current_) t->monitor->stop();
    current_.clear();
    stopping_.clear();
}

void ChipCardEvent::joinFinished() {
    std::erase_if(current_, [](const auto& t) { return !t->monitor->enabled() && !t->monitor->running(); });
    std::erase_if(stopping_, [](const auto& t) { return !t->monitor->running(); });
}

} // namespace vexa
