#include "pcsc/card.h"

#include <utility>

#include "pcsc/context.h"
#include "pcsc/pcsc_call.h"

namespace vexa::pcsc {

Card::Card(Card&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)),
      valid_(std::exchange(other.valid_, false)),
      contextSerial_(std::exchange(other.contextSerial_, 0)) {}

Card& Card::operator=(Card&& other) noexcept {
    if (this != &other) {
        disconnect(SCARD_RESET_CARD);
        handle_ = std::exchange(other.handle_, 0);
        valid_ = std::exchange(other.valid_, false);
        contextSerial_ = std::exchange(other.contextSerial_, 0);
    }
    return *this;
}

Card Card::open(const Context& context, const std::string& reader, DWORD shareMode, DWORD protocols, DWORD& active) {
    Card card;
    throwOnFailure(card.connect(context, reader, shareMode, protocols, active), "SCardConnect", reader);
    return card;
}

std::int32_t Card::connect(const Context& context, const std::string& reader, DWORD shareMode, DWORD protocols,
                           DWORD& active) noexcept {
    disconnect(SCARD_RESET_CARD);
    SCARDHANDLE handle = 0;
    const std::int32_t result =
        code(SCardConnect(context.get(), reader.c_str(), shareMode, protocols, &handle, &active));
    if (result == 0) {
        handle_ = handle;
        valid_ = true;
        contextSerial_ = context.serial();
    }
    return result;
}

std::int32_t Card::reconnect(DWORD shareMode, DWORD protocols, DWORD initialization, DWORD& active) noexcept {
    return code(SCardReconnect(handle_, shareMode, protocols, initialization, &active));
}

std::int32_t Card::disconnect(DWORD disposition) noexcept {
    if (!valid_) return 0;
    valid_ = false;
    contextSerial_ = 0;
    return code(SCardDisconnect(std::exchange(handle_, 0), disposition));
}

void Card::forget() noexcept {
    handle_ = 0;
    valid_ = false;
    contextSerial_ = 0;
}

std::int32_t Card::status(Status& out, bool withReader) const noexcept {
    char name[MAX_READERNAME + 1] = {};
    DWORD nameLength = withReader ? sizeof name - 1 : 0;
    out.atrLength = out.atrBuffer.size();
    const std::int32_t result = code(SCardStatus(handle_, withReader ? name : nullptr, &nameLength, &out.state,
                                                 &out.protocol, out.atrBuffer.data(), &out.atrLength));
    if (result == 0 && withReader) out.reader = name;
    return result;
}

std::int32_t Card::transmit(const SCARD_IO_REQUEST* sendPci, std::span<const std::uint8_t> command,
                            SCARD_IO_REQUEST* receivePci, std::span<std::uint8_t> answer,
                            DWORD& received) const noexcept {
    received = answer.size();
    return code(SCardTransmit(handle_, sendPci, command.data(), command.size(), receivePci, answer.data(), &received));
}

std::int32_t Card::control(DWORD controlCode, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                           DWORD& received) const noexcept {
    received = 0;
    return code(SCardControl(handle_, controlCode, input.empty() ? nullptr : input.data(), input.size(), output.data(),
                             output.size(), &received));
}

std::int32_t Card::beginTransaction() const noexcept {
    return code(SCardBeginTransaction(handle_));
}

std::int32_t Card::endTransaction(DWORD disposition) const noexcept {
    return code(SCardEndTransaction(handle_, disposition));
}

} // namespace vexa::pcsc
