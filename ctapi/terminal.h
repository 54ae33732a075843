#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "ctapi/ctapi_pcsc_session.h"

namespace vexa::ctapi {

using Bytes = std::vector<std::uint8_t>;

// One card terminal with one card slot on a PC/SC reader. It answers the
// CT-BCS commands (class 20) itself and passes APDUs to the card. Callers
// hold lock() for every call.
//
// CT-BCS answers: RESET CT and REQUEST ICC give 90 01 (asynchronous card
// reset) after the ATR or its historical bytes as P2 asks; RESET CT without a
// card gives 64 A1, REQUEST ICC 62 00 when no card came in time and 62 01 for
// a card already powered; a card that cannot be powered gives 64 00. GET
// STATUS P2 80 answers the slot's status byte (00 no card, 01 card present,
// 05 card present and powered) in the data object 80 01 xx. EJECT ICC
// unpowers the card. An unknown instruction gives 6D 00, an unknown unit
// 6A 00, a malformed command 67 00.
class Terminal {
public:
    explicit Terminal(PcscSession session) : session_(std::move(session)) {}

    Bytes toTerminal(std::span<const std::uint8_t> command);
    // Throws CtError ERR_TRANS when no powered card takes the APDU.
    Bytes toCard(std::span<const std::uint8_t> command);

    std::mutex& lock() { return lock_; }

private:
    // A parsed command: header, data field and Le (0 when absent).
    struct Command {
        std::uint8_t ins, p1, p2;
        std::span<const std::uint8_t> data;
        std::size_t le;
    };
    using Handler = Bytes (Terminal::*)(const Command&);
    struct Instruction {
        std::uint8_t ins;
        Handler handler;
    };
    static const Instruction kInstructions[];

    Bytes resetCt(const Command& command);
    Bytes requestIcc(const Command& command);
    Bytes getStatus(const Command& command);
    Bytes ejectIcc(const Command& command);
    // Powers the card up (or resets it) and answers as P2 asks.
    Bytes resetCard(const Command& command, std::uint16_t noCard);

    PcscSession session_;
    std::mutex lock_;
};

} // namespace vexa::ctapi
