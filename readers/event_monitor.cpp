#include "readers/event_monitor.h"

#include <array>
#include <chrono>
#include <exception>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cardaccess/apdu.h"
#include "cardaccess/card_error.h"
#include "readers/chip_card_event.h"
#include "readers/reader_interfaces.h"
#include "support/byte_buffer.h"
#include "support/text.h"

namespace vexa {
namespace {

struct StateBit {
    DWORD bit;
    std::string_view name;
};

constexpr std::array<StateBit, 10> kStateBits{{
    {SCARD_STATE_IGNORE, "SCARD_STATE_IGNORE"},
    {SCARD_STATE_CHANGED, "SCARD_STATE_CHANGED"},
    {SCARD_STATE_UNKNOWN, "SCARD_STATE_UNKNOWN"},
    {SCARD_STATE_UNAVAILABLE, "SCARD_STATE_UNAVAILABLE"},
    {SCARD_STATE_EMPTY, "SCARD_STATE_EMPTY"},
    {SCARD_STATE_PRESENT, "SCARD_STATE_PRESENT"},
    {SCARD_STATE_ATRMATCH, "SCARD_STATE_ATRMATCH"},
    {SCARD_STATE_EXCLUSIVE, "SCARD_STATE_EXCLUSIVE"},
    {SCARD_STATE_INUSE, "SCARD_STATE_INUSE"},
    {SCARD_STATE_MUTE, "SCARD_STATE_MUTE"},
}};

bool isNotification(std::string_view name) {
    return name.find(kNotificationReader) != std::string_view::npos;
}

std::span<const std::uint8_t> atrOf(const SCARD_READERSTATE& state) {
    const std::size_t length = std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr);
    return {state.rgbAtr, length};
}

std::vector<std::string> readerNames(ScapiManagement& inventory) {
    std::vector<std::string> names;
    const std::int32_t count = inventory.getReaderCount();
    for (std::int32_t i = 0; i < count; ++i) names.push_back(inventory.getReaderName(i));
    return names;
}

} // namespace

EventMonitor::EventMonitor(ChipCardEvent& sink, const TovLog& log, std::string identifier, std::int32_t interfaceType,
                           RemoteServers servers)
    : sink_(sink),
      eventLog_(log),
      identifier_(std::move(identifier)),
      interfaceType_(interfaceType),
      servers_(std::move(servers)) {
    eventLog_.open();
}

EventMonitor::~EventMonitor() {
    release();
}

void EventMonitor::run() {
    running_ = true;
    eventLog_.write(LOG_DEBUG, "Events enabled");
    bool waited = false;
    while (enabled_) {
        if (!waited) {
            std::unique_lock lock(lock_);
            sleep_.wait_for(lock, kEventPassInterval, [this] { return !enabled_; });
        }
        if (!enabled_) break;
        waited = pass();
    }
    eventLog_.write(LOG_DEBUG, "Events disabled");
    release();
    running_ = false;
}

void EventMonitor::stop() {
    {
        std::lock_guard lock(lock_);
        enabled_ = false;
        if (source_) source_->cancel();
    }
    sleep_.notify_all();
}

bool EventMonitor::pass() {
    // An interface without events has nothing to watch, and nothing to fail.
    const ReaderInterface* row = readerInterface(interfaceType_);
    if (row != nullptr && row->makeStatusSource == nullptr) return false;
    try {
        if (!inventory_.isListed()) initialise();
        // A cancel that came before the wait began is lost: the flag is not.
        if (!enabled_) return false;
        const bool changed = source_->query(states_.states());
        const bool waited = source_->waits();
        if (changed) compareStates();
        return waited;
    } catch (const TovException& e) {
        fail(e.text());
    } catch (const std::exception& e) {
        // A lost allocation must not end the host: treat it as any failed pass.
        fail(e.what());
    }
    return false;
}

void EventMonitor::initialise() {
    // Checked first, so that an unknown type is not reported as a successful
    // retry before every failure.
    std::unique_ptr<ReaderStatusSource> source = makeReaderStatusSource(interfaceType_, servers_);
    if (!source) throw TovException(ERR_UNKNOWN_INTERFACE, cardErrorText(ERR_UNKNOWN_INTERFACE));
    const std::int32_t result = inventory_.init(eventLog_, interfaceType_, servers_, false, true);
    if (result != 0) {
        retrying_ = true;
        throw TovException(result, "Initialization unsuccessful in eventHandler ()" + cardErrorSuffix(result) +
                                       ". Retrying initialization...");
    }
    if (retrying_) eventLog_.write(LOG_INFO, "Retry of initialization successful in eventHandler ()");
    if (inventory_.getReaderCount() == 0) throw TovException(ERR_NO_READER, "No readers found in eventHandler ()");
    states_.clear();
    for (const std::string& name : readerNames(inventory_)) states_.append(name);
    source->open();
    {
        std::lock_guard lock(lock_);
        source_ = std::move(source);
    }
    if (retrying_) {
        for (std::size_t i = 0; i < states_.size(); ++i) {
            const std::string name = states_.name(i);
            if (isNotification(name)) continue;
            event("Event reader added " + name);
            sink_.OnReaderAdded(name, identifier_);
        }
    }
    announced_ = true;
}

void EventMonitor::compareStates() {
    bool readersChanged = false;
    for (std::size_t i = 0; i < states_.size(); ++i) compareEntry(i, readersChanged);
    if (readersChanged) refreshReaders();
}

void EventMonitor::compareEntry(std::size_t position, bool& readersChanged) {
    SCARD_READERSTATE& state = states_.state(position);
    ReaderWatch& watch = states_.watch(position);
    const std::string& name = watch.name;
    const DWORD e = state.dwEventState;
    const auto has = [e](DWORD bits) { return (e & bits) != 0; };
    const auto inUse = [&](std::int32_t mode, std::string_view modeText) {
        watch.inUse = true;
        if (watch.inUseMode == mode) return;
        watch.inUseMode = mode;
        event("Event card in use as " + std::string(modeText) + " in reader " + name);
        sink_.OnCardInuse(name, mode, identifier_);
    };
    const auto unused = [&] {
        watch.inUse = false;
        watch.inUseMode = 0;
        event("Event card unused in reader " + name);
        sink_.OnCardUnused(name, identifier_);
    };

    if (state.dwCurrentState != 0) logReaderState(position);
    if (isNotification(name) && has(SCARD_STATE_CHANGED)) readersChanged = true;

    if (watch.inUse) {
        if (has(SCARD_STATE_UNAVAILABLE))
            inUse(SCARD_SHARE_DIRECT, "SCARD_SHARE_DIRECT");
        else if (!has(SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE))
            unused();
    }
    if (watch.cardPresent) {
        if (has(SCARD_STATE_UNAVAILABLE)) {
            inUse(SCARD_SHARE_DIRECT, "SCARD_SHARE_DIRECT");
        } else if (!has(SCARD_STATE_PRESENT | SCARD_STATE_MUTE)) {
            if (watch.inUse) unused();
            watch.cardPresent = watch.cardError = false;
            event("Event card removed in reader " + name);
            sink_.OnCardRemoved(name, identifier_);
        }
    }
    if (!watch.cardPresent) {
        const auto atr = atrOf(state);
        if (has(SCARD_STATE_MUTE) || (has(SCARD_STATE_PRESENT) && atr.empty())) {
            watch.cardPresent = watch.cardError = true;
            event("Event card error in reader " + name);
            sink_.OnCardError(name, identifier_);
        } else if (has(SCARD_STATE_PRESENT)) {
            watch.cardPresent = true;
            watch.cardError = false;
            event("Event card ready in reader " + name);
            sink_.OnCardReady(name, ByteBuffer(atr).toHex(true), static_cast<std::int32_t>(protocolFromAtr(atr)),
                              identifier_);
        }
    }
    if (watch.cardPresent && !watch.cardError && !watch.inUse && has(SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE)) {
        if (has(SCARD_STATE_EXCLUSIVE))
            inUse(SCARD_SHARE_EXCLUSIVE, "SCARD_STATE_EXCLUSIVE");
        else
            inUse(SCARD_SHARE_SHARED, "SCARD_SHARE_SHARED");
    }
    state.dwCurrentState = e & ~static_cast<DWORD>(SCARD_STATE_CHANGED | SCARD_STATE_UNKNOWN);
}

void EventMonitor::refreshReaders() {
    ScapiManagement current;
    const std::int32_t result = current.init(eventLog_, interfaceType_, servers_, false, true);
    if (result != 0)
        throw TovException(result, "ScapiManagement.init () unsuccessful in eventHandler ()" + cardErrorSuffix(result));
    const std::vector<std::string> names = readerNames(current);
    refreshReaderStates(
        states_, names,
        [this](const std::string& name) {
            event("Event reader removed " + name);
            sink_.OnReaderRemoved(name, identifier_);
        },
        [this](const std::string& name) {
            event("Event reader added " + name);
            sink_.OnReaderAdded(name, identifier_);
        });
}

void EventMonitor::fail(const std::string& text) {
    if (text != lastErrorText_) {
        eventLog_.write(LOG_ERROR, text);
        lastErrorText_ = text;
    }
    if (enabled_) {
        reportRemovedReaders();
        retrying_ = true;
    }
    announced_ = false;
    release();
}

// The failure path's removals. Readers that were listed again but never
// announced (initialisation kept failing) are not reported gone a second
// time, and an event operation that throws here cannot end the thread.
void EventMonitor::reportRemovedReaders() {
    if (!announced_) return;
    for (std::size_t i = 0; i < states_.size(); ++i) {
        const std::string name = states_.name(i);
        if (isNotification(name)) continue;
        event("Event reader removed " + name);
        try {
            sink_.OnReaderRemoved(name, identifier_);
        } catch (const TovException& e) {
            eventLog_.write(LOG_ERROR, e.text());
        }
    }
}

void EventMonitor::release() {
    states_.clear();
    std::unique_ptr<ReaderStatusSource> source;
    {
        std::lock_guard lock(lock_);
        source = std::move(source_);
    }
    if (source) source->close();
    inventory_.clearLocked();
}

void EventMonitor::logReaderState(std::size_t position) {
    const SCARD_READERSTATE& state = states_.state(position);
    std::string line = "State of reader " + states_.name(position) + ": ";
    for (const StateBit& bit : kStateBits)
        if (state.dwEventState & bit.bit) (line += bit.name) += ' ';
    const auto atr = atrOf(state);
    if (!atr.empty()) line += ByteBuffer(atr).toHex(true);
    eventLog_.write(LOG_TRACE, line);
}

} // namespace vexa
