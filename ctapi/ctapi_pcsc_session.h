#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pcsc/card.h"
#include "pcsc/service_context.h"

namespace vexa::ctapi {

// One PC/SC context and at most one card handle on one reader, owned. A
// context that died with the service is made anew at the next call; a card
// handle that died with it counts as a card gone. Not thread-safe: its
// terminal serialises the calls.
class PcscSession {
public:
    // Throws CtError: ERR_HTSI without pcscd, ERR_CT without that reader.
    static PcscSession open(unsigned short port);
    PcscSession(PcscSession&& other) noexcept = default;
    PcscSession& operator=(PcscSession&&) = delete;
    PcscSession(const PcscSession&) = delete;
    ~PcscSession();

    // Whether a card is in the reader now.
    bool cardInReader();
    // Waits up to the time for a card; true when one is there.
    bool waitForCard(unsigned seconds);
    // Powers the card up, or resets it when it is up; its ATR, or the
    // PC/SC failure.
    std::int32_t powerUp(std::vector<std::uint8_t>& atr);
    // Whether the card powered up is still there; drops the handle when not.
    bool cardActive();
    void powerDown(DWORD disposition);
    // An APDU to the powered card; the PC/SC failure or 0.
    std::int32_t transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& answer);

    const std::string& reader() const { return reader_; }

private:
    PcscSession(pcsc::ServiceContext context, std::string reader)
        : context_(std::move(context)), reader_(std::move(reader)) {}
    // The reader's state, looked at after waiting up to timeoutMs for a
    // change from state's current state; false when the look failed.
    bool lookAtReader(SCARD_READERSTATE& state, DWORD timeoutMs);
    // Whether a card handle is held that the context held now made; one
    // that died with the service is forgotten.
    bool holdsCard();

    pcsc::ServiceContext context_;
    std::string reader_;
    pcsc::Card card_; // after the context, so it goes first
    DWORD protocol_ = 0;
};

} // namespace vexa::ctapi
