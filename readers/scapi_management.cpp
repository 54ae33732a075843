#include "readers/scapi_management.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <mutex>

#include "cardaccess/card_error.h"
#include "readers/reader_interfaces.h"

namespace vexa {

ScapiManagement::~ScapiManagement() {
    clearLocked();
}

void ScapiManagement::clear() {
    readers_.clear();
    listed_ = false;
    listedTypes_.clear();
    interfaceType_ = {};
}

void ScapiManagement::clearLocked() {
    std::lock_guard guard(lock_);
    clear();
}

std::int32_t ScapiManagement::init(TovLog& log, std::int32_t type, const RemoteServers& remoteServers, bool logLines,
                                   bool notification) {
    std::lock_guard guard(lock_);
    interfaceType_ = type;
    std::int32_t result = 0;
    for (const ReaderInterface* row : configuredInterfaces(type)) {
        if (std::find(listedTypes_.begin(), listedTypes_.end(), row->type) != listedTypes_.end()) continue;
        bool done = false;
        result = row->list({row->type, log, remoteServers, logLines, notification, readers_}, done);
        if (done) listedTypes_.push_back(row->type);
        if (result != 0) break;
    }
    if (result == 0 && readers_.empty()) result = ERR_NO_READER;
    if (result == 0) listed_ = true;
    return result;
}

std::int32_t ScapiManagement::getReaderCount() {
    std::lock_guard guard(lock_);
    return static_cast<std::int32_t>(readers_.size());
}

std::string ScapiManagement::getReaderName(std::int32_t index) const {
    return validIndex(index) ? readers_[static_cast<std::size_t>(index)].name : std::string();
}

std::int32_t ScapiManagement::findReader(std::string_view name) const {
    for (std::size_t i = 0; i < readers_.size(); ++i)
        if (readers_[i].name == name) return static_cast<std::int32_t>(i);
    return -1;
}

std::int32_t ScapiManagement::connectReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card) {
    if (readers_.empty()) return ERR_NO_INIT;
    if (!validIndex(index)) return ERR_INVALID_VALUE_GIVEN;
    ScapiReader& reader = readers_[static_cast<std::size_t>(index)];
    card.selectReader(reader.interfaceType, reader.detail);
    const std::int32_t result = card.connect(log, reader.interfaceType, reader.name, SCARD_SHARE_EXCLUSIVE,
                                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (result == 0) reader.state = ScapiReader::IN_USE;
    return result;
}

std::int32_t ScapiManagement::disconnectReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card) {
    if (readers_.empty()) return ERR_NO_INIT;
    if (!validIndex(index)) return ERR_INVALID_VALUE_GIVEN;
    const std::int32_t result = card.disconnect(log, SCARD_RESET_CARD);
    card.clearReaderSelection();
    ScapiReader& reader = readers_[static_cast<std::size_t>(index)];
    if (reader.state == ScapiReader::IN_USE) reader.state = ScapiReader::IDLE;
    return result;
}

bool ScapiManagement::passesFilter(const ScapiReader& reader) const {
    // A configured type of its own (not ALL) admits only its readers.
    const bool filtered = readerInterface(interfaceType_) != nullptr;
    return !filtered || reader.interfaceType == interfaceType_;
}

std::int32_t ScapiManagement::tryReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card,
                                        std::string_view aid, std::string_view aid2) {
    std::int32_t result = connectReader(log, index, card);
    if (result != 0) return result;
    result = card.beginTransaction();
    if (result == 0 && !aid.empty()) result = card.selectByAid(log, aid);
    if (result == 0 && !aid2.empty()) result = card.selectByAid(log, aid2);
    if (result != 0) {
        card.endTransaction(SCARD_RESET_CARD);
        disconnectReader(log, index, card);
    }
    return result;
}

std::int32_t ScapiManagement::searchCard(TovLog& log, TovChipDefaultAccess& card, std::string_view aid,
                                         std::string_view aid2, std::string& readerName,
                                         std::string_view preferredReader) {
    readerName.clear();
    std::int32_t preferred = findReader(preferredReader);
    if (readers_.empty()) return ERR_NO_READER;
    if (!validIndex(preferred)) preferred = -1;
    std::lock_guard guard(lock_);
    bool sharing = false;
    // The preferred reader first; then the sweep starts over at the first
    // entry, so the preferred reader comes again in its place.
    for (std::int32_t i = preferred; i < static_cast<std::int32_t>(readers_.size()); ++i) {
        if (i == -1) i = 0;
        const ScapiReader& reader = readers_[static_cast<std::size_t>(i)];
        if (passesFilter(reader) && reader.state == ScapiReader::IDLE) {
            const std::int32_t result = tryReader(log, i, card, aid, aid2);
            if (result == 0) {
                readerName = reader.name;
                return 0;
            }
            if (result == pcsc::code(SCARD_E_SHARING_VIOLATION)) sharing = true;
        }
        if (i == preferred) preferred = i = -1;
    }
    return sharing ? pcsc::code(SCARD_E_SHARING_VIOLATION) : ERR_NO_CARD;
}

} // namespace vexa
