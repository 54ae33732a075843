#include "ctapi/terminal.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <optional>

#include "cardaccess/ctbcs_status.h"
#include "ctapi/ct_api.h"
#include "ctapi/ct_error.h"

namespace vexa::ctapi {
namespace {

constexpr std::uint8_t kClass = 0x20;
constexpr std::uint8_t kUnitTerminal = 0x00, kUnitSlot1 = 0x01;
using namespace ctbcs;
// ICC status byte of GET STATUS.
constexpr std::uint8_t kSlotEmpty = 0x00, kCardPresent = 0x01, kCardPowered = 0x05;

Bytes withStatus(Bytes data, std::uint16_t status) {
    data.push_back(static_cast<std::uint8_t>(status >> 8));
    data.push_back(static_cast<std::uint8_t>(status));
    return data;
}

Bytes status(std::uint16_t sw) {
    return withStatus({}, sw);
}

// ISO 7816-4 short command cases 1 to 4; nothing for a malformed one.
std::optional<std::size_t> dataLength(std::span<const std::uint8_t> command, std::size_t& le) {
    le = 0;
    if (command.size() == 4) return 0;
    if (command.size() == 5) {
        le = command[4] == 0 ? 256 : command[4];
        return 0;
    }
    const std::size_t lc = command[4];
    if (lc == 0 || command.size() < 5 + lc || command.size() > 6 + lc) return std::nullopt;
    if (command.size() == 6 + lc) le = command[5 + lc] == 0 ? 256 : command[5 + lc];
    return lc;
}

// A card's historical bytes: after T0 and the interface bytes it announces
// (ISO 7816-3, 8.2), as many as T0's low nibble says.
Bytes historicalBytes(const Bytes& atr) {
    if (atr.size() < 2) return {};
    const std::size_t count = atr[1] & 0x0F;
    std::size_t at = 1;
    std::uint8_t y = atr[1];
    for (;;) {
        const std::size_t interfaceBytes =
            ((y & 0x10) != 0) + ((y & 0x20) != 0) + ((y & 0x40) != 0) + ((y & 0x80) != 0);
        if ((y & 0x80) == 0) {
            at += interfaceBytes;
            break;
        }
        at += interfaceBytes;
        if (at >= atr.size()) return {};
        y = atr[at];
    }
    const std::size_t start = at + 1;
    if (start >= atr.size()) return {};
    return Bytes(atr.begin() + static_cast<long>(start),
                 atr.begin() + static_cast<long>(std::min(atr.size(), start + count)));
}

} // namespace

const Terminal::Instruction Terminal::kInstructions[] = {
    {0x11, &Terminal::resetCt},
    {0x12, &Terminal::requestIcc},
    {0x13, &Terminal::getStatus},
    {0x15, &Terminal::ejectIcc},
};

Bytes Terminal::toTerminal(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 4) return status(kWrongLength);
    if (bytes[0] != kClass) return status(kNoClass);
    std::size_t le = 0;
    const auto lc = dataLength(bytes, le);
    if (!lc) return status(kWrongLength);
    const auto data = *lc != 0 ? bytes.subspan(5, *lc) : std::span<const std::uint8_t>();
    const Command command{bytes[1], bytes[2], bytes[3], data, le};
    for (const auto& instruction : kInstructions)
        if (instruction.ins == command.ins) return (this->*instruction.handler)(command);
    return status(kNoInstruction);
}

Bytes Terminal::toCard(std::span<const std::uint8_t> command) {
    Bytes answer;
    if (session_.transmit(command, answer) != SCARD_S_SUCCESS) {
        session_.cardActive(); // lets go of a card that went away
        throw CtError{CTAPI_ERR_TRANS};
    }
    return answer;
}

Bytes Terminal::resetCard(const Command& command, std::uint16_t noCard) {
    if (command.p2 > 0x02) return status(kBadParameter);
    if (!session_.cardInReader()) return status(noCard);
    Bytes atr;
    if (session_.powerUp(atr) != SCARD_S_SUCCESS) return status(kResetFailed);
    Bytes data = command.p2 == 0x01 ? atr : command.p2 == 0x02 ? historicalBytes(atr) : Bytes();
    if (command.le != 0 && data.size() > command.le) data.resize(command.le);
    return withStatus(std::move(data), kCardReset);
}

Bytes Terminal::resetCt(const Command& command) {
    if (command.p1 == kUnitTerminal) {
        session_.powerDown(SCARD_RESET_CARD);
        return status(kOk);
    }
    if (command.p1 != kUnitSlot1) return status(kWrongUnit);
    return resetCard(command, kNoCard);
}

Bytes Terminal::requestIcc(const Command& command) {
    if (command.p1 != kUnitSlot1) return status(kWrongUnit);
    if (session_.cardActive()) return status(kCardAlreadyUp);
    // The data field, when there is one, is the waiting time in seconds.
    const unsigned seconds = command.data.empty() ? 0 : command.data.back();
    if (!session_.waitForCard(seconds)) return status(kNoCardInTime);
    return resetCard(command, kNoCardInTime);
}

Bytes Terminal::getStatus(const Command& command) {
    if (command.p1 != kUnitTerminal && command.p1 != kUnitSlot1) return status(kWrongUnit);
    if (command.p2 == 0x46) {
        // Manufacturer data object: country and maker, type, version.
        const std::string text = "DEVXACTAPI1.0.0";
        Bytes data{0x46, static_cast<std::uint8_t>(text.size())};
        data.insert(data.end(), text.begin(), text.end());
        return withStatus(std::move(data), kOk);
    }
    if (command.p2 != 0x80) return status(kWrongUnit);
    std::uint8_t slot = kSlotEmpty;
    if (session_.cardActive())
        slot = kCardPowered;
    else if (session_.cardInReader())
        slot = kCardPresent;
    return withStatus({0x80, 0x01, slot}, kOk);
}

Bytes Terminal::ejectIcc(const Command& command) {
    if (command.p1 != kUnitTerminal && command.p1 != kUnitSlot1) return status(kWrongUnit);
    session_.powerDown(SCARD_UNPOWER_CARD);
    return status(kOk);
}

} // namespace vexa::ctapi
