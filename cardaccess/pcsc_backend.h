#pragma once

#include <string_view>

#include "cardaccess/card_backend.h"
#include "pcsc/card.h"
#include "pcsc/service_context.h"

namespace vexa {

// The local PC/SC resource manager (pcsc-lite). The context is established
// on first use and kept across disconnects until close, or until the service
// goes away: then the next call makes a new one. A card whose handle died
// with the service counts as removed until it is released.
class PcscBackend final : public CardBackend {
public:
    ~PcscBackend() override;

    std::string_view label() const override { return "PC/SC"; }

    std::uint32_t connect(const std::string& reader, std::int32_t shareMode, std::int32_t protocols,
                          ByteBuffer& atr) override;
    bool isConnected() const override { return card_.valid() || cardLost_; }
    void releaseCard(std::int32_t disposition) override;
    void close() override;

    ByteBuffer readAtr(const std::string& reader) override;
    std::uint32_t readerState(const std::string& reader) override;
    bool cardRemoved() override;

    void transmit(std::uint32_t protocol, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                  std::uint32_t& length) override;
    void control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                 std::uint32_t& length) override;

    void beginTransaction() override;
    void endTransaction(std::int32_t disposition) override;

    // The system's control code for a reader function number: its own
    // SCARD_CTL_CODE (pcsc-lite's 0x42000000 + f, Windows' 0x310000 | f << 2).
    static std::uint32_t controlCode(std::uint32_t function);

private:
    // One SCardGetStatusChange over the reader with time-out 0.
    SCARD_READERSTATE queryReader(const std::string& reader);
    // The card's handle for a call on the card; throws SCARD_W_REMOVED_CARD
    // when it died with the service.
    const pcsc::Card& liveCard(std::string_view call);
    // A card call's code: one telling that the service went away ends the
    // handle and the context, and is reported as a removed card.
    void checkCardCall(std::int32_t result, std::string_view call);
    void loseCard();

    pcsc::ServiceContext context_;
    pcsc::Card card_;
    bool cardLost_ = false;
};

} // namespace vexa
