// APDU exchange, reader control and the status queries of
// TovChipDefaultAccess.
#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <thread>

#include "cardaccess/apdu.h"
#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"
#include "cardaccess/tov_chip_default_access.h"
#include "support/text.h"

namespace vexa {

void TovChipDefaultAccess::logCommand(TovLog& log, std::span<const std::uint8_t> command, bool apdu) const {
    if (logWants(log, LOG_DEBUG)) log.write(LOG_DEBUG, sentBytesLogLine(command, !apdu));
}

namespace {

// How long the reader state may lag behind a card pulled mid-command: pcscd
// looks at its readers every 400 ms, a remote server's pcscd likewise.
constexpr auto kCardGoneWait = std::chrono::milliseconds(1000);
constexpr auto kCardGonePoll = std::chrono::milliseconds(20);

} // namespace

std::int32_t TovChipDefaultAccess::exchangeFailed(TovLog& log, std::int32_t code, const char* operation,
                                                  std::string_view reason) {
    const CardBackend* backend = connectedBackend();
    log.write(LOG_ERROR, "Return code " + errorCodeText(code) + " from " + std::string(backend->label()) + " " +
                             operation + std::string(reason));
    return lastResult_ = code;
}

bool TovChipDefaultAccess::cardGone(CardBackend& backend) {
    const auto deadline = Clock::now() + kCardGoneWait;
    for (;;) {
        try {
            if (backend.cardRemoved()) return true;
        } catch (const CallError&) {
            return false; // the reader cannot tell; the link is what failed
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kCardGonePoll);
    }
}

// Every answer of a card ends with its status word (ISO 7816-4, 5.1). A
// shorter one is a card pulled mid-command, which the resource manager may
// report as an empty success, or a broken link to the card: never an answer.
std::int32_t TovChipDefaultAccess::answerWithoutStatus(TovLog& log, CardBackend& backend) {
    const bool gone = cardGone(backend);
    const std::int32_t code = pcsc::code(gone ? SCARD_W_REMOVED_CARD : SCARD_F_COMM_ERROR);
    return exchangeFailed(log, code, "execute", gone ? ": card removed mid-command" : ": answer without status word");
}

std::int32_t TovChipDefaultAccess::executeDirect(TovLog& log, std::span<const std::uint8_t> command,
                                                 std::span<std::uint8_t> answer, std::uint32_t& length,
                                                 std::uint32_t controlCode) {
    logCommand(log, command, controlCode == 0);
    CardBackend* backend = connectedBackend();
    if (backend == nullptr) {
        log.write(LOG_ERROR, "Interface not supported by executeDirect ()" + logSuffix(ERR_UNKNOWN_INTERFACE));
        return lastResult_ = ERR_UNKNOWN_INTERFACE;
    }
    const auto out = answer.first(std::min<std::size_t>(length, answer.size()));
    // A back end without reader control (CT-API) sends the bytes to the card.
    const bool toReader = controlCode != 0 && backend->hasControl();
    if (takeIdleReset()) return exchangeFailed(log, lastResult_, toReader ? "control" : "execute");
    const std::int32_t result = resultOf([&] {
        if (toReader)
            backend->control(controlCode, true, command, out, length);
        else
            backend->transmit(activeProtocol_, command, out, length);
    });
    lastCardCall_ = Clock::now();
    if (result != 0) return exchangeFailed(log, result, toReader ? "control" : "execute");
    length = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(out.size()));
    logBytes(log, "APDU response (" + unsignedDecimal(length) + " bytes)", out.first(length));
    if (!toReader && length < 2 && backend->reachesCard(command)) return answerWithoutStatus(log, *backend);
    return lastResult_ = 0;
}

std::int32_t TovChipDefaultAccess::executeControl(TovLog& log, std::span<const std::uint8_t> input,
                                                  std::span<std::uint8_t> output, std::uint32_t& length,
                                                  std::uint32_t code, bool raw) {
    logCommand(log, input, false);
    CardBackend* backend = connectedBackend();
    if (backend == nullptr || !backend->hasControl()) {
        log.write(LOG_ERROR, "Interface not supported by executeControl ()" + logSuffix(ERR_UNKNOWN_INTERFACE));
        return lastResult_ = ERR_UNKNOWN_INTERFACE;
    }
    const auto out = output.first(std::min<std::size_t>(length, output.size()));
    if (takeIdleReset()) return exchangeFailed(log, lastResult_, "control");
    const std::int32_t result = resultOf([&] { backend->control(code, raw, input, out, length); });
    lastCardCall_ = Clock::now();
    if (result != 0) return exchangeFailed(log, result, "control");
    length = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(out.size()));
    logBytes(log, "APDU response (" + unsignedDecimal(length) + " bytes)", out.first(length));
    return lastResult_ = 0;
}

std::int32_t TovChipDefaultAccess::executeWithStatus(TovLog& log, std::span<const std::uint8_t> command,
                                                     std::span<std::uint8_t> answer, std::uint32_t& length,
                                                     std::uint32_t controlCode) {
    const std::int32_t result = executeDirect(log, command, answer, length, controlCode);
    if (result != 0) return result;
    const std::int32_t status = statusWord(answer.first(length));
    return lastResult_ = isSuccessCode(status) ? 0 : status;
}

std::int32_t TovChipDefaultAccess::executeHex(TovLog& log, std::string_view hex, std::span<std::uint8_t> answer,
                                              std::uint32_t& length, std::uint32_t controlCode) {
    ByteBuffer command;
    if (!command.assignStrictHex(hex, true)) return lastResult_ = ERR_INTERNAL;
    if (command.length() > kMaxHexCommand) return lastResult_ = ERR_BUFFER_SIZE;
    return executeWithStatus(log, command.bytes(), answer, length, controlCode);
}

std::int32_t TovChipDefaultAccess::selectByAid(TovLog& log, std::string_view aid) {
    std::string aidText(aid);
    while (aidText.size() % 3 != 0) aidText += ' ';
    // SELECT by DF name, P2 0C: no answer data (ISO 7816-4, 11.2.2).
    const std::string command = "00 A4 04 0C " + hexNumber(aidText.size() / 3, 2) + " " + aidText;
    std::uint8_t answer[kMaxHexCommand];
    std::uint32_t length = sizeof answer;
    executeHex(log, command, answer, length);
    return lastResult_;
}

std::int32_t TovChipDefaultAccess::isCardRemoved(TovLog& log) {
    if (!isConnected()) return lastResult_ = ERR_NOT_CONNECTED;
    if (takeIdleReset()) return lastResult_;
    CardBackend* backend = connectedBackend();
    log.write(LOG_TRACE,
              "Check status for card removed on " + std::string(backend->label()) + " reader " + readerName_);
    lastCardCall_ = Clock::now();
    try {
        if (!backend->cardRemoved()) return lastResult_ = 0;
    } catch (const CallError& e) {
        log.write(LOG_DEBUG, "Card removed detection unsuccessful" + logSuffix(e.code()));
        return lastResult_ = e.code();
    }
    log.write(LOG_DEBUG, "Card has been removed");
    return lastResult_ = ERR_CARD_REMOVED;
}

std::int32_t TovChipDefaultAccess::getCardStatus(TovLog& log, std::int32_t type, std::string_view reader,
                                                 std::uint32_t& state) {
    CardBackend* backend = backendFor(type);
    if (backend == nullptr || !backend->queriesReaders()) return lastResult_ = ERR_UNKNOWN_INTERFACE;
    const std::string name(reader);
    try {
        state = backend->readerState(name);
    } catch (const CallError& e) {
        logFailure(log, Step::readerState, e, name);
        return lastResult_ = e.code();
    }
    log.write(LOG_TRACE, "Status is 0x" + hexNumber(state, 8) + " for PC/SC reader " + name);
    return lastResult_ = 0;
}

} // namespace vexa
