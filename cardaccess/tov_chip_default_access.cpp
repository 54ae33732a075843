#include "cardaccess/tov_chip_default_access.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"
#include "pcsc/card.h"
#include "support/text.h"

namespace vexa {

TovChipDefaultAccess::TovChipDefaultAccess() {
    for (const CardInterface& row : cardInterfaces()) backends_.emplace_back(row.type, row.makeBackend());
}

void TovChipDefaultAccess::selectReader(std::int32_t type, const std::any& detail) {
    for (auto& [served, backend] : backends_) backend->select(served == type ? detail : std::any());
}

void TovChipDefaultAccess::clearReaderSelection() {
    for (auto& entry : backends_) entry.second->select({});
}

void TovChipDefaultAccess::setRemoteServers(const RemoteServers& servers) {
    for (auto& entry : backends_) entry.second->useServers(servers);
}

TovChipDefaultAccess::~TovChipDefaultAccess() {
    TovLog log = fallbackLog();
    close(log);
}

CardBackend* TovChipDefaultAccess::backendFor(std::int32_t type) const {
    for (const auto& [served, backend] : backends_)
        if (served == type) return backend.get();
    return nullptr;
}

bool TovChipDefaultAccess::isConnected() const {
    const CardBackend* backend = connectedBackend();
    return backend != nullptr && backend->isConnected();
}

std::string TovChipDefaultAccess::logSuffix(std::int32_t code) const {
    return connectionErrorSuffix(code);
}

std::optional<TovChipDefaultAccess::LogLine> TovChipDefaultAccess::failureLine(Step step, const CallError& error,
                                                                               std::string_view reader) {
    if (isQuietFailure(step, error)) return std::nullopt;
    std::string text = failureText(error, reader);
    if (step == Step::readerState) text += " for PC/SC reader " + std::string(reader);
    // Another application holding the card is no fault of this one.
    const bool held = step == Step::connect && error.code() == pcsc::code(SCARD_E_SHARING_VIOLATION);
    return LogLine{held ? LOG_WARNING : LOG_ERROR, text + connectionErrorSuffix(error.code())};
}

void TovChipDefaultAccess::logFailure(TovLog& log, Step step, const CallError& error, std::string_view reader) {
    if (const auto line = failureLine(step, error, reader)) log.write(line->level, line->text);
}

std::int32_t TovChipDefaultAccess::connect(TovLog& log, std::int32_t type, std::string_view reader,
                                           std::int32_t shareMode, std::int32_t protocols) {
    // A connect that cannot work (ALL, UNDEFINED) leaves a connected card
    // alone: no reset for nothing.
    CardBackend* backend = backendFor(type);
    if (backend == nullptr) {
        if (!isConnected()) interfaceType_ = type;
        return lastResult_ = ERR_UNKNOWN_INTERFACE;
    }
    // A card still connected is released first, so the stored reader name
    // always belongs to the handle in use.
    if (isConnected()) disconnect(log, SCARD_RESET_CARD);
    interfaceType_ = type;
    shareMode_ = shareMode;
    preferredProtocols_ = protocols;
    readerName_ = reader;
    return connectWith(log, *backend);
}

std::int32_t TovChipDefaultAccess::connectWith(TovLog& log, CardBackend& backend) {
    idleReset_ = false;
    atr_.resize(0);
    lastResult_ = 0;
    try {
        activeProtocol_ = backend.connect(readerName_, shareMode_, preferredProtocols_, atr_);
        lastConnectCode_ = 0;
        log.write(LOG_DEBUG, "Card connected in " + std::string(backend.label()) + " reader " + readerName_);
        if (atr_.isNonEmpty()) logBytes(log, "ATR", atr_.bytes());
    } catch (const CallError& e) {
        lastResult_ = lastConnectCode_ = e.code();
        logFailure(log, Step::connect, e, readerName_);
    }
    return lastResult_;
}

std::int32_t TovChipDefaultAccess::disconnect(TovLog& log, std::int32_t disposition) {
    idleReset_ = false; // the page lets go of the reset card: nothing to tell
    const std::int32_t transactionResult = endTransaction(disposition);
    CardBackend* backend = connectedBackend();
    if (backend == nullptr) return lastResult_ = ERR_UNKNOWN_INTERFACE;
    std::int32_t result = releaseConnection(log, *backend, disposition);
    if (result == 0) result = transactionResult;
    return lastResult_ = result;
}

std::int32_t TovChipDefaultAccess::releaseConnection(TovLog& log, CardBackend& backend, std::int32_t disposition) {
    std::int32_t cardResult = 0;
    if (backend.isConnected()) {
        cardResult = resultOf([&] { backend.releaseCard(disposition); });
        log.write(LOG_DEBUG,
                  "Disconnect " + std::string(backend.label()) + " reader " + readerName_ + logSuffix(cardResult));
    }
    const std::int32_t finishResult = resultOf([&] { backend.finishDisconnect(); });
    interfaceType_ = kNoInterface;
    readerName_.clear();
    atr_.resize(0);
    return cardResult != 0 ? cardResult : finishResult;
}

std::int32_t TovChipDefaultAccess::reconnect(TovLog& log) {
    const std::int32_t type = interfaceType_;
    const std::string reader = readerName_;
    idleReset_ = false;
    endTransaction(SCARD_RESET_CARD);
    CardBackend* backend = backendFor(type);
    if (backend == nullptr) return lastResult_ = ERR_UNKNOWN_INTERFACE;
    releaseConnection(log, *backend, SCARD_RESET_CARD);
    interfaceType_ = type;
    readerName_ = reader;
    return connectWith(log, *backend);
}

std::int32_t TovChipDefaultAccess::close(TovLog& log) {
    std::int32_t result = disconnect(log, SCARD_RESET_CARD);
    if (result == ERR_UNKNOWN_INTERFACE) result = 0;
    for (auto& entry : backends_) resultOf([&] { entry.second->close(); });
    interfaceType_ = kNoInterface;
    shareMode_ = preferredProtocols_ = 0;
    activeProtocol_ = 0;
    readerName_.clear();
    lastConnectCode_ = 0;
    transaction_ = false;
    atr_.resize(0);
    return lastResult_ = result;
}

ByteBuffer TovChipDefaultAccess::getAtr(TovLog& log, std::int32_t type, std::string_view reader) {
    lastResult_ = 0;
    const bool own = ownsReader(reader);
    if (own && atr_.isNonEmpty()) return atr_;
    ByteBuffer atr;
    CardBackend* backend = backendFor(type);
    if (backend == nullptr || !backend->queriesReaders()) {
        lastResult_ = ERR_UNKNOWN_INTERFACE;
        log.write(LOG_ERROR, logSuffix(lastResult_));
    } else {
        try {
            atr = backend->readAtr(std::string(reader));
            logBytes(log, "ATR", atr.bytes());
        } catch (const CallError& e) {
            lastResult_ = e.code();
            logFailure(log, Step::readAtr, e, reader);
        }
    }
    // Another reader's ATR must not stand in for the connected card's.
    if (own) atr_ = atr;
    return atr;
}

std::int32_t TovChipDefaultAccess::beginTransaction() {
    if (!isConnected()) return lastResult_ = ERR_NOT_CONNECTED;
    if (takeIdleReset()) return lastResult_;
    if (transaction_) return lastResult_ = 0;
    CardBackend* backend = connectedBackend();
    const std::int32_t result = resultOf([&] { backend->beginTransaction(); });
    transaction_ = result == 0;
    lastCardCall_ = Clock::now();
    return lastResult_ = result;
}

std::int32_t TovChipDefaultAccess::endTransaction(std::int32_t disposition) {
    std::int32_t result = 0;
    if (isConnected() && takeIdleReset()) return lastResult_;
    if (transaction_ && isConnected()) {
        transaction_ = false;
        CardBackend* backend = connectedBackend();
        result = resultOf([&] { backend->endTransaction(disposition); });
    }
    return lastResult_ = result;
}

std::optional<TovChipDefaultAccess::Clock::time_point> TovChipDefaultAccess::transactionDeadline() const {
    if (!transaction_ || !isConnected() || !connectedBackend()->transactionsLock()) return std::nullopt;
    return lastCardCall_ + pcsc::kIdleTransactionLimit;
}

bool TovChipDefaultAccess::endIdleTransaction(TovLog& log, Clock::time_point now) {
    const auto deadline = transactionDeadline();
    if (!deadline || now < *deadline) return false;
    CardBackend* backend = connectedBackend();
    transaction_ = false;
    const std::int32_t result = resultOf([&] { backend->endTransaction(SCARD_RESET_CARD); });
    idleReset_ = true;
    log.write(LOG_INFO, "Transaction on " + std::string(backend->label()) + " reader " + readerName_ +
                            " without a card call for " +
                            signedDecimal(static_cast<std::int32_t>(pcsc::kIdleTransactionLimit.count())) +
                            " s: ended with a card reset" + logSuffix(result));
    return true;
}

bool TovChipDefaultAccess::takeIdleReset() {
    if (!idleReset_) return false;
    idleReset_ = false;
    lastResult_ = pcsc::code(SCARD_W_RESET_CARD);
    return true;
}

bool TovChipDefaultAccess::atrOnlyTd1() const {
    return atr_.length() >= 2 && (atr_[1] & 0xF0) == 0x80;
}

void TovChipDefaultAccess::logBytes(TovLog& log, std::string_view label, std::span<const std::uint8_t> bytes) const {
    if (!logWants(log, LOG_DEBUG)) return;
    log.write(LOG_DEBUG, std::string(label) + ": " + (bytes.empty() ? std::string("<null>") : bytesToHex(bytes, true)));
}

} // namespace vexa
