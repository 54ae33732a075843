#include "readers/chip_card_event.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "readers/event_monitor.h"

namespace vexa {

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
    return current_ && current_->monitor->enabled();
}

std::int32_t ChipCardEvent::enableEvents(TovLog& log, std::string_view eventIdentifier, std::int32_t interfaceType,
                                         std::string_view servers) {
    if (eventsEnabled()) {
        log.write(LOG_DEBUG, "Events are already enabled");
        return 0;
    }
    joinFinished();
    if (current_ && current_->thread.joinable()) stopping_.push_back(std::move(current_));
    current_ = std::make_unique<MonitorThread>();
    current_->monitor =
        std::make_unique<EventMonitor>(*this, log, std::string(eventIdentifier), interfaceType, std::string(servers));
    try {
        current_->thread = std::thread(&EventMonitor::run, current_->monitor.get());
    } catch (const std::system_error&) {
        current_->monitor->log().write(LOG_FATAL, "Unable to start event handler thread");
        return -1;
    }
    return 0;
}

std::int32_t ChipCardEvent::disableEvents(TovLog& log) {
    if (!eventsEnabled()) {
        log.write(LOG_DEBUG, "Events are already disabled");
        return 0;
    }
    if (current_->thread.joinable())
        current_->monitor->stop();
    else
        current_.reset();
    return 0;
}

void ChipCardEvent::resetEvents() {
    interruptEventDelivery();
    current_.reset();
    stopping_.clear();
}

void ChipCardEvent::joinFinished() {
    if (current_ && !current_->monitor->enabled() && !current_->monitor->running()) current_.reset();
    std::erase_if(stopping_, [](const auto& t) { return !t->monitor->running(); });
}

} // namespace vexa
