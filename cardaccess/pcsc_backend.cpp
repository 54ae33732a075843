#include "cardaccess/pcsc_backend.h"

#include <PCSC/reader.h>

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_call.h"

namespace vexa {
namespace {

// The context and card owners report a failure with its log text; a back end
// reports the call instead.
template <typename Fn>
auto reportAs(std::string_view call, Fn&& fn) {
    try {
        return fn();
    } catch (const TovException& e) {
        throw CallError(e.code(), call);
    }
}

} // namespace

void PcscBackend::ensureContext() {
    if (!context_.valid()) context_ = reportAs("SCardEstablishContext", [] { return PcscContext::establish(); });
}

std::uint32_t PcscBackend::connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                                   ByteBuffer&) {
    ensureContext();
    std::uint32_t active = 0;
    card_ = reportAs("SCardConnect", [&] {
        return PcscCard::connect(context_.get(), reader, static_cast<std::uint32_t>(shareMode),
                                 static_cast<std::uint32_t>(protocols), active);
    });
    return active;
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
    throwOnFailure(pcscCode(SCardGetStatusChange(context_.get(), 0, &state, 1)), "SCardGetStatusChange");
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
    DWORD state = 0, protocol = 0, nameLength = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const std::int32_t result =
        pcscCode(SCardStatus(card_.get(), nullptr, &nameLength, &state, &protocol, atr, &atrLength));
    if (result == PCSC_E_NO_SMARTCARD || result == PCSC_W_REMOVED_CARD) return true;
    throwOnFailure(result, "SCardStatus");
    return state == SCARD_ABSENT;
}

void PcscBackend::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                           std::span<std::uint8_t> answer, std::uint32_t& length) {
    const SCARD_IO_REQUEST sendPci{protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{protocol, sizeof(SCARD_IO_REQUEST)};
    DWORD received = answer.size();
    const LONG result =
        SCardTransmit(card_.get(), &sendPci, command.data(), command.size(), &receivePci, answer.data(), &received);
    length = static_cast<std::uint32_t>(received);
    throwOnFailure(pcscCode(result), "SCardTransmit");
}

std::uint32_t PcscBackend::controlCode(std::uint32_t function) {
    return SCARD_CTL_CODE(function);
}

void PcscBackend::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                          std::span<std::uint8_t> output, std::uint32_t& length) {
    DWORD received = 0;
    const LONG result =
        SCardControl(card_.get(), raw ? code : controlCode(code), input.empty() ? nullptr : input.data(), input.size(),
                     output.data(), output.size(), &received);
    length = static_cast<std::uint32_t>(received);
    throwOnFailure(pcscCode(result), "SCardControl");
}

void PcscBackend::beginTransaction() {
    throwOnFailure(pcscCode(SCardBeginTransaction(card_.get())), "SCardBeginTransaction");
}

void PcscBackend::endTransaction(std::int32_t disposition) {
    throwOnFailure(pcscCode(SCardEndTransaction(card_.get(), static_cast<DWORD>(disposition))), "SCardEndTransaction");
}

} // namespace vexa
