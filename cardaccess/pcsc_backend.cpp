#include "cardaccess/pcsc_backend.h"

#include <PCSC/reader.h>

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_failure.h"

namespace vexa {

// Still held here means no close came: the failures have no caller left.
PcscBackend::~PcscBackend() {
    logFailedRelease("SCardDisconnect", card_.disconnect(SCARD_RESET_CARD));
    logFailedRelease("SCardReleaseContext", context_.release());
}

void PcscBackend::ensureContext() {
    if (!context_.valid()) context_ = pcscChecked([] { return pcsc::Context::open(); });
}

std::uint32_t PcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                   ByteBuffer&) {
    ensureContext();
    DWORD active = 0;
    card_ = pcscChecked([&] {
        return pcsc::Card::open(context_, reader, static_cast<DWORD>(shareMode), static_cast<DWORD>(protocols), active);
    });
    return static_cast<std::uint32_t>(active);
}

std::int32_t PcscBackend::releaseCard(std::int32_t disposition) {
    return card_.disconnect(static_cast<std::uint32_t>(disposition));
}

std::int32_t PcscBackend::close() {
    const std::int32_t cardResult = card_.disconnect(SCARD_RESET_CARD);
    const std::int32_t contextResult = context_.release();
    return cardResult != 0 ? cardResult : contextResult;
}

SCARD_READERSTATE PcscBackend::queryReader(const std::string& reader, const char* failureText) {
    ensureContext();
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const std::int32_t result = context_.statusChange(0, {&state, 1});
    if (result != 0) throw TovException(result, failureText);
    return state;
}

ByteBuffer PcscBackend::readAtr(const std::string& reader) {
    const SCARD_READERSTATE state = queryReader(reader, "SCardGetStatusChange () unsuccessful");
    return ByteBuffer(state.rgbAtr, static_cast<std::uint32_t>(std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr)));
}

std::uint32_t PcscBackend::readerState(const std::string& reader) {
    try {
        ensureContext();
    } catch (const TovException& e) {
        throw TovException(e.code()); // reported without a log line
    }
    return static_cast<std::uint32_t>(queryReader(reader, "SCardGetStatusChange () unsuccessful").dwEventState);
}

std::int32_t PcscBackend::cardRemoved() {
    pcsc::Card::Status status;
    const std::int32_t result = card_.status(status);
    if (result == PCSC_E_NO_SMARTCARD || result == PCSC_W_REMOVED_CARD) return ERR_CARD_REMOVED;
    if (result != 0) return result;
    return status.state == SCARD_ABSENT ? ERR_CARD_REMOVED : 0;
}

std::int32_t PcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                                   std::span<std::uint8_t> answer, std::uint32_t& length) {
    const SCARD_IO_REQUEST sendPci{protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD received = 0;
    const std::int32_t result = card_.transmit(&sendPci, command, &receivePci, answer, received);
    length = static_cast<std::uint32_t>(received);
    return result;
}

std::uint32_t PcscBackend::controlCode(std::uint32_t function) {
    return SCARD_CTL_CODE(function);
}

std::int32_t PcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                                  std::span<std::uint8_t> output, std::uint32_t& length) {
    DWORD received = 0;
    const std::int32_t result = card_.control(raw ? code : controlCode(code), input, output, received);
    length = static_cast<std::uint32_t>(received);
    return result;
}

std::int32_t PcscBackend::beginTransaction() {
    return card_.beginTransaction();
}

std::int32_t PcscBackend::endTransaction(std::int32_t disposition) {
    return card_.endTransaction(static_cast<DWORD>(disposition));
}

} // namespace vexa
