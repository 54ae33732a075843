#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexa::ctapi {

// One PC/SC context and at most one card handle on one reader, owned. Not
// thread-safe: its terminal serialises the calls.
class PcscSession {
public:
    // Throws CtError: ERR_HTSI without pcscd, ERR_CT without that reader.
    static PcscSession open(unsigned short port);
    PcscSession(PcscSession&& other) noexcept;
    PcscSession& operator=(PcscSession&&) = delete;
    PcscSession(const PcscSession&) = delete;
    ~PcscSession();

    // Whether a card is in the reader now.
    bool cardInReader();
    // Waits up to the time for a card; true when one is there.
    bool waitForCard(unsigned seconds);
    // Powers the card up, or resets it when it is up; its ATR, or the
    // PC/SC failure.
    LONG powerUp(std::vector<std::uint8_t>& atr);
    // Whether the card powered up is still there; drops the handle when not.
    bool cardActive();
    void powerDown(DWORD disposition);
    // An APDU to the powered card; the PC/SC failure or 0.
    LONG transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& answer);

    const std::string& reader() const { return reader_; }

private:
    PcscSession(SCARDCONTEXT context, std::string reader) : context_(context), reader_(std::move(reader)) {}

    SCARDCONTEXT context_ = 0;
    bool hasContext_ = true;
    std::string reader_;
    SCARDHANDLE card_ = 0;
    bool hasCard_ = false;
    DWORD protocol_ = 0;
};

} // namespace vexa::ctapi
