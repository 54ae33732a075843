#include "cardaccess/tov_chip_default_access.h"

#include <PCSC/pcsclite.h>

#include "cardaccess/card_error.h"
#include "cardaccess/ctapi_backend.h"
#include "cardaccess/fallback_log.h"
#include "cardaccess/pcsc_backend.h"
#include "cardaccess/remote_pcsc_backend.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {

TovChipDefaultAccess::TovChipDefaultAccess() {
    backends_[INTERFACE_PCSC] = std::make_unique<PcscBackend>();
    auto remote = std::make_unique<RemotePcscBackend>();
    remote_ = remote.get();
    backends_[INTERFACE_REMOTE_PCSC] = std::move(remote);
    auto ctapi = std::make_unique<CtapiBackend>();
    ctapi_ = ctapi.get();
    backends_[INTERFACE_CTAPI] = std::move(ctapi);
}

void TovChipDefaultAccess::selectCtapiReader(const CtapiSettings& settings) {
    ctapi_->select(settings);
}

void TovChipDefaultAccess::resetCtapiReader() {
    ctapi_->resetReader();
}

void TovChipDefaultAccess::setRemoteServers(std::string_view list) {
    remote_->setServers(list);
}

TovChipDefaultAccess::~TovChipDefaultAccess() {
    TovLog log = fallbackLog();
    close(log);
}

CardBackend* TovChipDefaultAccess::backendFor(std::int32_t type) const {
    if (type < 0 || type >= static_cast<std::int32_t>(backends_.size())) return nullptr;
    return backends_[static_cast<std::size_t>(type)].get();
}

bool TovChipDefaultAccess::isConnected() const {
    const CardBackend* backend = connectedBackend();
    return backend != nullptr && backend->isConnected();
}

std::string TovChipDefaultAccess::logSuffix(std::int32_t code) const {
    return connectionErrorSuffix(code);
}

std::int32_t TovChipDefaultAccess::connect(TovLog& log, std::int32_t type, std::string_view reader,
                                           std::int32_t shareMode, std::int32_t protocols) {
    // A card still connected is released first, so the stored reader name
    // always belongs to the handle in use.
    if (isConnected()) disconnect(log, SCARD_RESET_CARD);
    interfaceType_ = type;
    CardBackend* backend = backendFor(type);
    if (backend == nullptr) return lastResult_ = ERR_UNKNOWN_INTERFACE;
    shareMode_ = shareMode;
    preferredProtocols_ = protocols;
    readerName_ = reader;
    return connectWith(log, *backend);
}

std::int32_t TovChipDefaultAccess::connectWith(TovLog& log, CardBackend& backend) {
    atr_.resize(0);
    lastResult_ = 0;
    try {
        activeProtocol_ = backend.connect(readerName_, shareMode_, preferredProtocols_, atr_);
        lastConnectCode_ = 0;
        log.write(LOG_DEBUG, "Card connected in " + std::string(backend.label()) + " reader " + readerName_);
        if (atr_.isNonEmpty()) logBytes(log, "ATR", atr_.bytes());
    } catch (const TovException& e) {
        lastResult_ = lastConnectCode_ = e.code();
        if (backend.logsConnectFailure(e.code()))
            log.write(e.code() == PCSC_E_SHARING_VIOLATION ? LOG_WARNING : LOG_ERROR, e.text() + logSuffix(e.code()));
    }
    return lastResult_;
}

std::int32_t TovChipDefaultAccess::disconnect(TovLog& log, std::int32_t disposition) {
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
        cardResult = backend.releaseCard(disposition);
        log.write(LOG_DEBUG,
                  "Disconnect " + std::string(backend.label()) + " reader " + readerName_ + logSuffix(cardResult));
    }
    const std::int32_t finishResult = backend.finishDisconnect();
    interfaceType_ = INTERFACE_UNDEFINED;
    readerName_.clear();
    atr_.resize(0);
    return cardResult != 0 ? cardResult : finishResult;
}

std::int32_t TovChipDefaultAccess::reconnect(TovLog& log) {
    const std::int32_t type = interfaceType_;
    const std::string reader = readerName_;
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
    for (auto& backend : backends_)
        if (backend) backend->close();
    interfaceType_ = INTERFACE_UNDEFINED;
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
    try {
        CardBackend* backend = backendFor(type);
        if (backend == nullptr) throw TovException(ERR_UNKNOWN_INTERFACE);
        atr = backend->readAtr(std::string(reader));
        logBytes(log, "ATR", atr.bytes());
    } catch (const TovException& e) {
        lastResult_ = e.code();
        atr.resize(0);
        log.write(LOG_ERROR, e.text() + logSuffix(lastResult_));
    }
    // Another reader's ATR must not stand in for the connected card's.
    if (own) atr_ = atr;
    return atr;
}

std::int32_t TovChipDefaultAccess::beginTransaction() {
    if (!isConnected()) return lastResult_ = ERR_NOT_CONNECTED;
    if (transaction_) return lastResult_ = 0;
    const std::int32_t result = connectedBackend()->beginTransaction();
    transaction_ = result == 0;
    return lastResult_ = result;
}

std::int32_t TovChipDefaultAccess::endTransaction(std::int32_t disposition) {
    std::int32_t result = 0;
    if (transaction_ && isConnected()) {
        transaction_ = false;
        result = connectedBackend()->endTransaction(disposition);
    }
    return lastResult_ = result;
}

bool TovChipDefaultAccess::atrOnlyTd1() const {
    return atr_.length() >= 2 && (atr_[1] & 0xF0) == 0x80;
}

void TovChipDefaultAccess::logBytes(TovLog& log, std::string_view label, std::span<const std::uint8_t> bytes) const {
    if (!logWants(log, LOG_DEBUG)) return;
    log.write(LOG_DEBUG, std::string(label) + ": " + (bytes.empty() ? std::string("<null>") : bytesToHex(bytes, true)));
}

} // namespace vexa
