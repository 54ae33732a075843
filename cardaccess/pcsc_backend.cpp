#include "cardaccess/pcsc_backend.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_failure.h"

namespace vexa {
// Still held here means no close came: the failures have no caller left.
PcscBackend::~PcscBackend() {
    if (!context_.holds(card_)) card_.forget();
    logFailedRelease("SCardDisconnect", card_.disconnect(SCARD_RESET_CARD));
    logFailedRelease("SCardReleaseContext", context_.release());
}

std::uint32_t PcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                   ByteBuffer&) {
    // A handle the service took along is forgotten, never used again.
    if (!context_.holds(card_)) card_.forget();
    cardLost_ = false;
    DWORD active = 0;
    throwOnFailure(context_.run([&](const pcsc::Context& context) {
        return card_.connect(context, reader, static_cast<DWORD>(shareMode), static_cast<DWORD>(protocols), active);
    }),
                   "SCardConnect", reader);
    return static_cast<std::uint32_t>(active);
}

void PcscBackend::loseCard() {
    card_.forget();
    cardLost_ = true;
}

const pcsc::Card& PcscBackend::liveCard(std::string_view call) {
    if (card_.valid() && !context_.holds(card_)) loseCard();
    if (cardLost_) throw CallError(pcsc::code(SCARD_W_REMOVED_CARD), call);
    return card_;
}

void PcscBackend::checkCardCall(std::int32_t result, std::string_view call) {
    if (pcsc::serviceGone(result)) {
        context_.drop();
        loseCard();
    }
    throwOnFailure(pcsc::cardCallCode(result), call);
}

void PcscBackend::releaseCard(std::int32_t disposition) {
    cardLost_ = false;
    if (!context_.holds(card_)) {
        card_.forget();
        return;
    }
    const std::int32_t result = card_.disconnect(static_cast<std::uint32_t>(disposition));
    // A card whose service went away is released all the same.
    if (pcsc::serviceGone(result)) {
        context_.drop();
        return;
    }
    throwOnFailure(result, "SCardDisconnect");
}

void PcscBackend::close() {
    cardLost_ = false;
    if (!context_.holds(card_)) card_.forget();
    const std::int32_t cardResult = card_.disconnect(SCARD_RESET_CARD);
    const std::int32_t contextResult = context_.release();
    if (!pcsc::serviceGone(cardResult)) throwOnFailure(cardResult, "SCardDisconnect");
    if (!pcsc::serviceGone(contextResult)) throwOnFailure(contextResult, "SCardReleaseContext");
}

SCARD_READERSTATE PcscBackend::queryReader(const std::string& reader) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    throwOnFailure(context_.run([&](const pcsc::Context& context) {
        // A call that failed leaves nothing of use in the state.
        state.dwEventState = 0;
        state.cbAtr = 0;
        return context.statusChange(0, {&state, 1});
    }),
                   "SCardGetStatusChange");
    return state;
}

ByteBuffer PcscBackend::readAtr(const std::string& reader) {
    const SCARD_READERSTATE state = queryReader(reader);
    return ByteBuffer(state.rgbAtr, static_cast<std::uint32_t>(std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr)));
}

std::uint32_t PcscBackend::readerState(const std::string& reader) {
    return static_cast<std::uint32_t>(queryReader(reader).dwEventState);
}

bool PcscBackend::cardRemoved() {
    pcsc::Card::Status status;
    try {
        checkCardCall(liveCard("SCardStatus").status(status), "SCardStatus");
    } catch (const CallError& e) {
        if (e.code() == pcsc::code(SCARD_E_NO_SMARTCARD) || e.code() == pcsc::code(SCARD_W_REMOVED_CARD)) return true;
        throw;
    }
    return status.state == SCARD_ABSENT;
}

void PcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                           std::span<std::uint8_t> answer, std::uint32_t& length) {
    const SCARD_IO_REQUEST sendPci{protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD received = 0;
    length = 0;
    const std::int32_t result = liveCard("SCardTransmit").transmit(&sendPci, command, &receivePci, answer, received);
    length = static_cast<std::uint32_t>(received);
    checkCardCall(result, "SCardTransmit");
}

std::uint32_t PcscBackend::controlCode(std::uint32_t function) {
    return SCARD_CTL_CODE(function);
}

void PcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                          std::span<std::uint8_t> output, std::uint32_t& length) {
    DWORD received = 0;
    length = 0;
    const std::int32_t result =
        liveCard("SCardControl").control(raw ? code : controlCode(code), input, output, received);
    length = static_cast<std::uint32_t>(received);
    checkCardCall(result, "SCardControl");
}

void PcscBackend::beginTransaction() {
    checkCardCall(liveCard("SCardBeginTransaction").beginTransaction(), "SCardBeginTransaction");
}

void PcscBackend::endTransaction(std::int32_t disposition) {
    checkCardCall(liveCard("SCardEndTransaction").endTransaction(static_cast<DWORD>(disposition)),
                  "SCardEndTransaction");
}

} // namespace vexa
