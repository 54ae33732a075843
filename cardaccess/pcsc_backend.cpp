#include "cardaccess/pcsc_backend.h"

#include "pcsc/pcsc_api.h"

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_failure.h"

namespace vexa {
// Still held here means no close came: the failures have no caller left.
PcscBackend::~PcscBackend() {
    logFailedRelease("SCardDisconnect", card_.disconnect(SCARD_RESET_CARD));
    logFailedRelease("SCardReleaseContext", context_.release());
}

void PcscBackend::ensureContext() {
    if (!context_.valid()) context_ = pcsc::Context::open();
}

std::uint32_t PcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                   ByteBuffer&) {
    ensureContext();
    DWORD active = 0;
    card_ = pcsc::Card::open(context_, reader, static_cast<DWORD>(shareMode), static_cast<DWORD>(protocols), active);
    return static_cast<std::uint32_t>(active);
}

void PcscBackend::releaseCard(std::int32_t disposition) {
    throwOnFailure(card_.disconnect(static_cast<std::uint32_t>(disposition)), "SCardDisconnect");
}

void PcscBackend::close() {
    const std::int32_t cardResult = card_.disconnect(SCARD_RESET_CARD);
    const std::int32_t contextResult = context_.release();
    throwOnFailure(cardResult, "SCardDisconnect");
    throwOnFailure(contextResult, "SCardReleaseContext");
}

SCARD_READERSTATE PcscBackend::queryReader(const std::string& reader) {
    ensureContext();
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    throwOnFailure(context_.statusChange(0, {&state, 1}), "SCardGetStatusChange");
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
    const std::int32_t result = card_.status(status);
    if (result == pcsc::code(SCARD_E_NO_SMARTCARD) || result == pcsc::code(SCARD_W_REMOVED_CARD)) return true;
    throwOnFailure(result, "SCardStatus");
    return status.state == SCARD_ABSENT;
}

void PcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                           std::span<std::uint8_t> answer, std::uint32_t& length) {
    const SCARD_IO_REQUEST sendPci{protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD received = 0;
    const std::int32_t result = card_.transmit(&sendPci, command, &receivePci, answer, received);
    length = static_cast<std::uint32_t>(received);
    throwOnFailure(result, "SCardTransmit");
}

std::uint32_t PcscBackend::controlCode(std::uint32_t function) {
    return SCARD_CTL_CODE(function);
}

void PcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                          std::span<std::uint8_t> output, std::uint32_t& length) {
    DWORD received = 0;
    const std::int32_t result = card_.control(raw ? code : controlCode(code), input, output, received);
    length = static_cast<std::uint32_t>(received);
    throwOnFailure(result, "SCardControl");
}

void PcscBackend::beginTransaction() {
    throwOnFailure(card_.beginTransaction(), "SCardBeginTransaction");
}

void PcscBackend::endTransaction(std::int32_t disposition) {
    throwOnFailure(card_.endTransaction(static_cast<DWORD>(disposition)), "SCardEndTransaction");
}

} // namespace vexa
