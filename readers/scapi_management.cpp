#include "readers/scapi_management.h"

#include <PCSC/pcsclite.h>

#include <mutex>

#include "cardaccess/card_error.h"
#include "cardaccess/ctapi_terminals.h"
#include "cardaccess/pcsc_failure.h"
#include "cardaccess/remote_pcsc_client.h"
#include "pcsc/context.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

bool includes(std::int32_t configured, std::int32_t type) {
    return configured == type || configured == INTERFACE_ALL;
}

} // namespace

ScapiManagement::~ScapiManagement() {
    clearLocked();
}

void ScapiManagement::clear() {
    readers_.clear();
    listed_ = pcscListed_ = remoteListed_ = ctapiListed_ = false;
    interfaceType_ = INTERFACE_UNDEFINED;
}

void ScapiManagement::clearLocked() {
    std::lock_guard guard(lock_);
    clear();
}

std::int32_t ScapiManagement::init(TovLog& log, std::int32_t type, std::string_view remoteServers, bool logLines,
                                   bool notification) {
    std::lock_guard guard(lock_);
    interfaceType_ = type;
    std::int32_t result = addPcscReaders(log, logLines, notification);
    if (result == 0) result = addRemoteReaders(log, remoteServers, logLines, notification);
    if (result == 0) result = addCtapiReaders(log, logLines);
    if (result == 0 && readers_.empty()) result = ERR_NO_READER;
    if (result == 0) listed_ = true;
    return result;
}

std::int32_t ScapiManagement::addPcscReaders(TovLog& log, bool logLines, bool notification) {
    if (!includes(interfaceType_, INTERFACE_PCSC) || pcscListed_) return 0;
    pcsc::Context context;
    try {
        context = pcscChecked([] { return pcsc::Context::open(); });
    } catch (const TovException& e) {
        if (e.code() == PCSC_E_NO_READERS_AVAILABLE) return 0;
        if (logLines)
            log.write(LOG_ERROR, e.code() == PCSC_E_NO_SERVICE ? "PC/SC subsystem not started"
                                                               : e.text() + cardErrorSuffix(e.code()));
        return e.code();
    }
    pcscListed_ = true;
    const std::int32_t result = listPcscReaders(log, context, logLines, notification);
    logFailedRelease("SCardReleaseContext", context.release());
    return result;
}

std::int32_t ScapiManagement::listPcscReaders(TovLog& log, const pcsc::Context& context, bool logLines,
                                              bool notification) {
    std::vector<std::string> names;
    try {
        names = pcscChecked([&] { return context.readers(); });
    } catch (const TovException& e) {
        if (logLines) log.write(LOG_ERROR, e.text() + cardErrorSuffix(e.code()));
        return e.code();
    }
    if (names.empty()) return 0;
    if (notification) names.emplace_back(kNotificationReader);
    if (logLines) log.write(LOG_INFO, unsignedDecimal(names.size()) + " PC/SC reader(s) found");
    for (auto& name : names) {
        if (logLines)
            log.write(LOG_INFO, "Reader " + unsignedDecimal(readers_.size()) + ": PC/SC reader found: " + name);
        readers_.push_back({INTERFACE_PCSC, std::move(name), ScapiReader::IDLE, {}});
    }
    return 0;
}

std::int32_t ScapiManagement::addRemoteReaders(TovLog& log, std::string_view remoteServers, bool logLines,
                                               bool notification) {
    if (!includes(interfaceType_, INTERFACE_REMOTE_PCSC) || remoteListed_) return 0;
    RemotePcscClient client;
    if (!client.setServer(remoteServers) || client.servers().empty()) {
        remoteListed_ = true;
        if (logLines)
            log.write(LOG_WARNING, "Missing or invalid address for remote PC/SC server ('" +
                                       std::string(remoteServers) + "'). Ignoring remote PC/SC readers.");
        return 0;
    }
    std::string names, unreachable;
    std::int32_t count = 0;
    std::int32_t result = client.listReaders(0, "", names, count, unreachable, notification);
    client.closeAll();
    if (result != 0) return remoteListingFailed(log, result, unreachable, logLines);
    if (logLines && !unreachable.empty())
        log.write(LOG_WARNING, "Cannot connect remote PS/SC server " + unreachable +
                                   " but other server(s) reached. Using readers of other servers.");
    remoteListed_ = true;
    if (logLines) log.write(LOG_INFO, signedDecimal(count) + " remote PC/SC reader(s) found");
    for (std::int32_t i = 0; i < count && !names.empty(); ++i) {
        const std::size_t end = names.find("\r\n");
        std::string name = names.substr(0, end);
        names.erase(0, end == std::string::npos ? names.size() : end + 2);
        if (logLines)
            log.write(LOG_INFO, "Reader " + unsignedDecimal(readers_.size()) + ": remote PC/SC reader found: " + name);
        readers_.push_back({INTERFACE_REMOTE_PCSC, std::move(name), ScapiReader::IDLE, {}});
    }
    return 0;
}

// remoteListed_ stays clear, so a later init on the instance tries again.
std::int32_t ScapiManagement::remoteListingFailed(TovLog& log, std::int32_t result, const std::string& unreachable,
                                                  bool logLines) {
    if (result == PCSC_E_NO_READERS_AVAILABLE) result = 0;
    if (!logLines) return result;
    if (result == PCSC_E_NO_SERVICE)
        log.write(LOG_ERROR, "PC/SC subsystem not started on remote server");
    else if (!unreachable.empty())
        log.write(LOG_ERROR, "Cannot connect remote PS/SC server " + unreachable);
    else if (result != 0)
        log.write(LOG_ERROR, "rpcsc.listReaders () unsuccessful" + cardErrorSuffix(result));
    return result;
}

// A CT-API problem never fails init.
std::int32_t ScapiManagement::addCtapiReaders(TovLog& log, bool logLines) {
    if (!includes(interfaceType_, INTERFACE_CTAPI) || ctapiListed_) return 0;
    ctapiListed_ = true;
    std::vector<CtapiReader> terminals; // unloads the drivers when it goes
    std::vector<std::string> failures;
    const std::int32_t result = listCtapiReaders(terminals, failures);
    if (logLines) {
        // Why a declared terminal is missing, for whoever sets one up.
        for (const auto& failure : failures) log.write(LOG_INFO, "CTAPI reader left out: " + failure);
        if (result != 0) log.write(LOG_INFO, "No CTAPI readers found");
    }
    if (result != 0) return 0;
    for (const auto& terminal : terminals) {
        if (logLines)
            log.write(LOG_INFO,
                      "Reader " + unsignedDecimal(readers_.size()) + ": CTAPI reader found: " + terminal.name());
        readers_.push_back({INTERFACE_CTAPI, terminal.name(), ScapiReader::IDLE, terminal.settings()});
    }
    return 0;
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
    card.selectCtapiReader(reader.ctapi);
    const std::int32_t result = card.connect(log, reader.interfaceType, reader.name, SCARD_SHARE_EXCLUSIVE,
                                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (result == 0) reader.state = ScapiReader::IN_USE;
    return result;
}

std::int32_t ScapiManagement::disconnectReader(TovLog& log, std::int32_t index, TovChipDefaultAccess& card) {
    if (readers_.empty()) return ERR_NO_INIT;
    if (!validIndex(index)) return ERR_INVALID_VALUE_GIVEN;
    const std::int32_t result = card.disconnect(log, SCARD_RESET_CARD);
    card.resetCtapiReader();
    ScapiReader& reader = readers_[static_cast<std::size_t>(index)];
    if (reader.state == ScapiReader::IN_USE) reader.state = ScapiReader::IDLE;
    return result;
}

bool ScapiManagement::passesFilter(const ScapiReader& reader) const {
    const bool filtered = interfaceType_ == INTERFACE_PCSC || interfaceType_ == INTERFACE_REMOTE_PCSC ||
                          interfaceType_ == INTERFACE_CTAPI;
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
            if (result == PCSC_E_SHARING_VIOLATION) sharing = true;
        }
        if (i == preferred) preferred = i = -1;
    }
    return sharing ? PCSC_E_SHARING_VIOLATION : ERR_NO_CARD;
}

} // namespace vexa
