// Server requests: EncodeRequest, DecodeRequest and ExecuteRequest.
#include "pcsc/pcsc_api.h"

#include <array>
#include <chrono>
#include <thread>

#include "cardaccess/apdu.h"
#include "cardaccess/card_error.h"
#include "core/chip_card_plugin.h"
#include "core/error_model.h"
#include "core/server_batch.h"
#include "platform/system.h"
#include "support/cipher.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

constexpr std::uint32_t kAnswerCapacity = 512;
constexpr auto kReconnectPause = std::chrono::milliseconds(200);

// Servers write a last byte below 0x10 as one digit ("41011" for 41 01 01),
// and their batches have always been read so: a lone last digit is a byte.
// Every other character stays strict, so a typo cannot become a command.
std::string padOddHex(std::string_view hex) {
    std::string padded(hex);
    if (padded.size() % 2 != 0) padded.insert(padded.size() - 1, 1, '0');
    return padded;
}

} // namespace

std::string ChipCardPlugin::EncodeRequest(std::string_view clientId, std::string_view transactionId,
                                          std::int32_t functionId, std::int32_t processId, std::string_view tlvString) {
    return guarded(std::string(), [&] {
        RequestHeader header;
        header.functionId = functionId;
        header.processId = processId;
        header.clientId = clientId;
        if (!transactionId.empty()) {
            header.transactionId = transactionId;
            log_.setTransactionId(transactionId);
        }
        log_.setClient(clientId);
        log_.setProcessId(processId);

        // Without a connection there is no ATR to ask for, and nothing to log.
        ByteBuffer atr;
        if (card.isConnected()) atr = card.getAtr(log_, card.interfaceType(), card.readerName());
        RequestEnvironment environment;
        environment.interfaceType = card.interfaceType();
        environment.readerName = card.readerName();
        environment.operatingSystem = platform::kSystemName;
        environment.clientName = clientName;
        environment.atrFlag = atr.length() >= 2 && (atr[1] >> 4) == 0x8;

        lastError = 0;
        TlvBuffer message;
        message.allocate(kMessageCapacity);
        bool written = writeHeader(message, header) && writeEnvironment(message, environment);
        if (written && !tlvString.empty()) {
            TlvBuffer body;
            written = body.loadHex(tlvString, true);
            body.seekEnd();
            written = written && message.appendRaw(body);
        }
        if (!written) {
            log_.write(LOG_ERROR, "Cannot encode data in EncodeRequest");
            lastError = ERR_ENCODE_FAILED;
            return std::string();
        }
        std::string cipherText;
        if (!encipherTlv(message, kTransportKey, cipherText)) {
            log_.write(LOG_ERROR, "Cannot encrypt data in EncodeRequest");
            lastError = ERR_ENCODE_FAILED;
            return std::string();
        }
        return cipherText;
    });
}

std::string ChipCardPlugin::DecodeRequest(std::string_view input) {
    return guarded(std::string(), [&] {
        ByteBuffer message;
        if (!decipherBytes(input, kTransportKey, message, kMessageCapacity)) {
            lastError = ERR_DECODE_FAILED;
            return std::string();
        }
        lastError = 0;
        return message.toHex(true);
    });
}

std::string ChipCardPlugin::ExecuteRequest(std::string_view input, std::int32_t encoded, std::int32_t processId) {
    return guarded(std::string(), [&] {
        lastError = -1;
        log_.write(LOG_INFO, "ExecuteRequest processing");
        ServerResponse response;
        response.header.functionId = kExecuteFunctionId;
        try {
            const ServerRequest request = readServerRequest(input, encoded != 0);
            response.header.processId = processId != 0 ? processId : request.header.processId;
            response.header.clientId = request.header.clientId;
            response.header.transactionId = request.header.transactionId;
            log_.setClient(request.header.clientId);
            log_.write(LOG_INFO, "transaction id on server is " + request.header.transactionId);
            log_.setTransactionId(request.header.transactionId);
            if (request.release) {
                card.disconnect(log_, SCARD_RESET_CARD);
                log_.write(LOG_INFO, "ExecuteRequest processed");
                return std::string();
            }
            executeCommands(request, response);
        } catch (const TovException& e) {
            // Whatever stopped the execution travels in the response.
            log_.write(LOG_ERROR, e.text() + card.logSuffix(e.code()));
            if (response.results.empty()) response.results.emplace_back();
            response.results.back().text = e.text();
            response.header.errorCode = e.code();
            card.disconnect(log_, SCARD_RESET_CARD);
        }
        return writeServerResponse(response, encoded != 0);
    });
}

ServerRequest ChipCardPlugin::readServerRequest(std::string_view input, bool encoded) {
    TlvBuffer message;
    if (encoded) {
        message.allocate(kMessageCapacity);
        if (!decipherTlv(input, kTransportKey, message)) throw TovException(ERR_DECODE_FAILED);
    } else if (!message.loadHex(padOddHex(input), false)) {
        throw TovException(ERR_INVALID_HEX);
    }
    return readRequest(message);
}

void ChipCardPlugin::executeCommands(const ServerRequest& request, ServerResponse& response) {
    std::array<std::uint8_t, kAnswerCapacity> answer{};
    for (std::size_t i = 0; i < request.commands.size(); ++i) {
        const RequestCommand& command = request.commands[i];
        lastError = 0;
        if (command.reconnect) reconnectForCommand(command.reconnectSeconds);
        if (i == 0 && lastError == 0) {
            lastError = card.isCardRemoved(log_);
            if (lastError == ERR_CARD_REMOVED) response.cardRemoved = true;
        }
        CommandResult& result = response.results.emplace_back();
        if (lastError == 0) {
            std::uint32_t length = kAnswerCapacity;
            lastError = card.executeDirect(log_, command.apdu.bytes(), answer, length, command.controlCode);
            // The card can go with any command, not only before the first.
            if (lastError == pcsc::code(SCARD_W_REMOVED_CARD)) response.cardRemoved = true;
            // A failed exchange has no answer: the buffer still holds an
            // earlier command's bytes. A reader's answer (a control code)
            // needs no status word; a card's always has one here.
            if (lastError == 0) {
                const auto received = std::span<const std::uint8_t>(answer).first(std::min(length, kAnswerCapacity));
                lastError = statusWord(received);
                result.answer = ByteBuffer(received);
            }
        }
        result.code = lastError;
        const bool success = isSuccessCode(lastError);
        if (!request.continueOnError && !success) break;
        if (command.stopOnSuccess && success) break;
    }
}

void ChipCardPlugin::reconnectForCommand(std::int32_t seconds) {
    if (seconds == 0) {
        log_.write(LOG_DEBUG, "executing reconnect");
        lastError = card.reconnect(log_);
        if (lastError != 0) log_.write(LOG_ERROR, "error at reconnect" + card.logSuffix(lastError));
        return;
    }
    log_.write(LOG_INFO, "executing reconnect with retry and timeout " + signedDecimal(seconds) + " seconds");
    lastError = card.reconnect(log_);
    // Elapsed time on the monotonic clock: a change of the wall clock must
    // neither stretch nor cut the retries.
    const auto start = std::chrono::steady_clock::now();
    const auto elapsedSeconds = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    };
    while (lastError != 0 && elapsedSeconds() < seconds) {
        std::this_thread::sleep_for(kReconnectPause);
        lastError = card.reconnect(log_);
    }
    if (lastError != 0)
        log_.write(LOG_ERROR, "card not reconnected");
    else
        log_.write(LOG_INFO, "card reconnected successfully");
}

std::string ChipCardPlugin::writeServerResponse(const ServerResponse& response, bool encoded) {
    lastError = 0;
    TlvBuffer message;
    message.allocate(kMessageCapacity);
    std::string text;
    if (!writeResponse(message, response)) {
        log_.write(LOG_ERROR, "Cannot encode data for transport");
        lastError = ERR_ENCODE_FAILED;
    } else if (!encoded) {
        text = message.toHex(false);
    } else if (!encipherTlv(message, kTransportKey, text)) {
        log_.write(LOG_ERROR, "Cannot encrypt data for transport");
        lastError = ERR_ENCODE_FAILED;
        text.clear();
    }
    log_.write(LOG_INFO, "ExecuteRequest processed");
    return text;
}

} // namespace vexa
