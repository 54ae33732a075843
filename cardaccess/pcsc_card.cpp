#include "cardaccess/pcsc_card.h"

#include <utility>

#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"
#include "cardaccess/pcsc_call.h"

namespace vexa {

PcscCard::PcscCard(PcscCard&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), valid_(std::exchange(other.valid_, false)) {}

PcscCard& PcscCard::operator=(PcscCard&& other) noexcept {
    if (this != &other) {
        disconnect(SCARD_RESET_CARD);
        handle_ = std::exchange(other.handle_, 0);
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

PcscCard::~PcscCard() {
    const std::int32_t result = disconnect(SCARD_RESET_CARD);
    if (result != 0)
        fallbackLog().write(LOG_WARNING, "SCardDisconnect () unsuccessful" + connectionErrorSuffix(result));
}

PcscCard PcscCard::connect(SCARDCONTEXT context, const std::string& reader, std::uint32_t shareMode,
                           std::uint32_t protocols, std::uint32_t& activeProtocol) {
    PcscCard card;
    DWORD active = 0;
    checkPcsc(SCardConnect(context, reader.c_str(), shareMode, protocols, &card.handle_, &active),
              [&] { return "SCardConnect () to reader " + reader + " unsuccessful"; });
    card.valid_ = true;
    activeProtocol = static_cast<std::uint32_t>(active);
    return card;
}

std::int32_t PcscCard::disconnect(std::uint32_t disposition) noexcept {
    if (!valid_) return 0;
    valid_ = false;
    return pcscCode(SCardDisconnect(std::exchange(handle_, 0), disposition));
}

} // namespace vexa
