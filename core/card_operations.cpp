// The script operations that reach readers and cards: thin layers over the
// plug-in's card connection and a reader inventory made for each call.
#include "pcsc/pcsc_api.h"

#include <array>
#include <chrono>
#include <thread>

#include "core/chip_card_plugin.h"
#include "readers/scapi_management.h"
#include "support/text.h"

namespace vexa {
namespace {

constexpr std::size_t kMaxApdu = 512;
constexpr std::size_t kMaxControl = 1024;
constexpr auto kConnectRetryWait = std::chrono::milliseconds(200);

// What SendToCard and SendIOCTL check before the card sees anything: a
// connected card and strict blank-separated hex within the bound.
std::int32_t readCardInput(bool connected, std::string_view hex, std::size_t maxLength, ByteBuffer& bytes) {
    if (!connected) return ERR_NOT_CONNECTED;
    if (!bytes.assignStrictHex(hex, true)) return ERR_INVALID_HEX;
    if (bytes.length() > maxLength) return ERR_BUFFER_SIZE;
    return 0;
}

// An AID for SearchCard: empty (none given) or strict blank-separated hex.
bool validAid(std::string_view aid) {
    ByteBuffer bytes;
    return bytes.assignStrictHex(aid, true);
}

} // namespace

std::string ChipCardPlugin::GetReaderList() {
    return guarded(std::string(), [&] {
        ScapiManagement inventory;
        lastError = inventory.init(log_, interfaceType, remoteServer, true, false);
        std::string list;
        if (lastError != 0) {
            log_.write(LOG_ERROR, "GetReaderList unsuccessful" + cardErrorSuffix(lastError));
        } else {
            for (std::int32_t i = 0; i < inventory.getReaderCount(); ++i) {
                if (!list.empty()) list += "\r\n";
                list += inventory.getReaderName(i);
            }
        }
        log_.write(LOG_DEBUG, "GetReaderList returns " + signedDecimal(inventory.getReaderCount()) + " readers");
        return list;
    });
}

std::string ChipCardPlugin::GetCardATR(std::string_view readerName) {
    return guarded(std::string(), [&] {
        const ByteBuffer atr = card.getAtr(log_, interfaceType, readerName);
        lastError = card.lastResult();
        return atr.toHex(true);
    });
}

std::int32_t ChipCardPlugin::ConnectCardEx(std::string_view readerName, std::int32_t shareMode, std::int32_t protocol,
                                           std::int32_t timeOut) {
    return guarded(ERR_NOT_INITIALISED, [&] {
        const auto connect = [&] {
            return lastError = card.connect(log_, interfaceType, readerName, shareMode, protocol);
        };
        if (connect() != pcsc::code(SCARD_E_SHARING_VIOLATION) || timeOut <= 0) return lastError;
        // Another application holds the card: try again until the time is
        // up, measured on a clock that no clock adjustment moves.
        const auto start = std::chrono::steady_clock::now();
        const double limitSeconds = timeOut / 1000.0;
        for (;;) {
            std::this_thread::sleep_for(kConnectRetryWait);
            if (connect() != pcsc::code(SCARD_E_SHARING_VIOLATION)) break;
            const auto elapsed = std::chrono::floor<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
            if (!(limitSeconds > static_cast<double>(elapsed.count()))) break;
        }
        return lastError;
    });
}

std::int32_t ChipCardPlugin::DisConnectCardEx(std::int32_t disposition) {
    return guarded(ERR_NOT_INITIALISED, [&] { return lastError = card.disconnect(log_, disposition); });
}

std::string ChipCardPlugin::SendToCard(std::string_view apdu) {
    return guarded(std::string(), [&] {
        ByteBuffer command;
        if ((lastError = readCardInput(card.isConnected(), apdu, kMaxApdu, command)) != 0) return std::string();
        std::array<std::uint8_t, kMaxApdu> answer{};
        std::uint32_t length = answer.size();
        lastError = card.executeDirect(log_, command.bytes(), answer, length, 0);
        return lastError != 0 ? std::string() : bytesToHex(std::span(answer).first(length), true);
    });
}

std::string ChipCardPlugin::SendIOCTL(std::int32_t ioctl, std::int32_t isRaw, std::string_view apdu) {
    return guarded(std::string(), [&] {
        ByteBuffer input;
        if ((lastError = readCardInput(card.isConnected(), apdu, kMaxControl, input)) != 0) return std::string();
        std::array<std::uint8_t, kMaxControl> output{};
        std::uint32_t length = output.size();
        lastError =
            card.executeControl(log_, input.bytes(), output, length, static_cast<std::uint32_t>(ioctl), isRaw != 0);
        return lastError != 0 ? std::string() : bytesToHex(std::span(output).first(length), true);
    });
}

std::int32_t ChipCardPlugin::BeginTransaction() {
    return guarded(ERR_NOT_INITIALISED, [&] { return lastError = card.beginTransaction(); });
}

std::int32_t ChipCardPlugin::EndTransactionEx(std::int32_t disposition) {
    return guarded(ERR_NOT_INITIALISED, [&] { return lastError = card.endTransaction(disposition); });
}

std::int32_t ChipCardPlugin::GetCardStatus(std::string_view readerName) {
    return guarded(std::int32_t{-1}, [&] {
        std::uint32_t state = 0;
        lastError = card.getCardStatus(log_, interfaceType, readerName, state);
        return lastError != 0 ? -1 : static_cast<std::int32_t>(state);
    });
}

std::int32_t ChipCardPlugin::IsCardRemoved() {
    return guarded(ERR_NOT_INITIALISED, [&] { return lastError = card.isCardRemoved(log_); });
}

std::string ChipCardPlugin::SearchCard(std::string_view aid, std::string_view aid2) {
    return guarded(std::string(), [&] {
        if (!validAid(aid) || !validAid(aid2)) {
            lastError = ERR_INVALID_HEX;
            return std::string();
        }
        // The card at hand first: it may already hold the application.
        if (card.isConnected()) {
            lastError = card.selectByAid(log_, aid);
            if (lastError == 0 && !aid2.empty()) lastError = card.selectByAid(log_, aid2);
            if (lastError == 0) return card.readerName();
            card.disconnect(log_, SCARD_RESET_CARD);
        }
        ScapiManagement inventory;
        lastError = inventory.init(log_, interfaceType, remoteServer, true, false);
        if (lastError != 0) return std::string();
        log_.write(LOG_DEBUG, "SearchCard for AID '" + std::string(aid) + "' and AID '" + std::string(aid2) + "'");
        std::string reader;
        lastError = inventory.searchCard(log_, card, aid, aid2, reader, preferredReader);
        if (lastError != 0) {
            log_.write(LOG_DEBUG, "SearchCard found no card" + cardErrorSuffix(lastError));
            return std::string();
        }
        log_.write(LOG_DEBUG, "SearchCard found card in reader " + reader);
        return reader;
    });
}

std::int32_t ChipCardPlugin::EnableEvents(std::string_view eventIdentifier) {
    return guarded(ERR_NOT_INITIALISED,
                   [&] { return lastError = enableEvents(log_, eventIdentifier, interfaceType, remoteServer); });
}

std::int32_t ChipCardPlugin::DisableEvents() {
    return guarded(ERR_NOT_INITIALISED, [&] {
        disableEvents(log_);
        return lastError = 0;
    });
}

} // namespace vexa
