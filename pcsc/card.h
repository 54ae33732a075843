#pragma once

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace vexa::pcsc {

class Context;

// A transaction with no card call for this long is ended with a card reset
// by whoever holds it in VEXA (a plug-in, vexa-rpcscd for its clients), as
// Windows does: pcsc-lite lets everyone else's calls on the card wait behind
// a transaction, and the reset takes a verified PIN along.
inline constexpr std::chrono::seconds kIdleTransactionLimit{5};

// Owns one PC/SC card handle. A handle still held at destruction is
// disconnected with a reset, so no card stays claimed after its owner is gone;
// the destructor cannot report a failure, so an owner that must report one
// calls disconnect() itself. The calls on the card go to pcscd even without a
// handle, which answers them as it answers an unknown one.
class Card {
public:
    // What SCardStatus tells about the card.
    struct Status {
        std::string reader; // only when asked for
        DWORD state = 0;
        DWORD protocol = 0;
        std::array<BYTE, MAX_ATR_SIZE> atrBuffer{};
        DWORD atrLength = 0;

        std::span<const BYTE> atr() const {
            return std::span(atrBuffer).first(std::min<std::size_t>(atrLength, atrBuffer.size()));
        }
    };

    Card() = default;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;
    Card(Card&& other) noexcept;
    Card& operator=(Card&& other) noexcept;
    ~Card() { disconnect(SCARD_RESET_CARD); }

    // SCardConnect; throws CallError with the reader on failure. active
    // receives the protocol.
    static Card open(const Context& context, const std::string& reader, DWORD shareMode, DWORD protocols,
                     DWORD& active);
    // SCardConnect, giving up (with a reset) a handle held before; the code.
    // The handle is held only on success.
    std::int32_t connect(const Context& context, const std::string& reader, DWORD shareMode, DWORD protocols,
                         DWORD& active) noexcept;
    // SCardReconnect; the code.
    std::int32_t reconnect(DWORD shareMode, DWORD protocols, DWORD initialization, DWORD& active) noexcept;
    // SCardDisconnect; 0 when there is no handle. The handle is gone
    // afterwards whatever the result.
    std::int32_t disconnect(DWORD disposition) noexcept;
    // Lets go of a handle without a call: releasing its context ended it.
    void forget() noexcept;

    // SCardStatus, with the reader's name when asked for; the code.
    std::int32_t status(Status& out, bool withReader = false) const noexcept;
    // SCardTransmit; the code, received the answer's length (the room given
    // when the call left it alone).
    std::int32_t transmit(const SCARD_IO_REQUEST* sendPci, std::span<const std::uint8_t> command,
                          SCARD_IO_REQUEST* receivePci, std::span<std::uint8_t> answer, DWORD& received) const noexcept;
    // SCardControl with pcsc-lite's control code; the code, received the
    // output's length.
    std::int32_t control(DWORD controlCode, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                         DWORD& received) const noexcept;
    std::int32_t beginTransaction() const noexcept;
    std::int32_t endTransaction(DWORD disposition) const noexcept;

    SCARDHANDLE get() const { return handle_; }
    bool valid() const { return valid_; }
    // The serial of the context the handle was connected on: the handle
    // lives only as long as that context.
    std::uint64_t contextSerial() const { return contextSerial_; }

private:
    SCARDHANDLE handle_ = 0;
    bool valid_ = false;
    std::uint64_t contextSerial_ = 0;
};

} // namespace vexa::pcsc
