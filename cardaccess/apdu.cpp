#include "cardaccess/apdu.h"

#include "support/text.h"

namespace vexa {

std::uint16_t statusWord(std::span<const std::uint8_t> answer) {
    const std::size_t n = answer.size();
    return n < 2 ? 0 : static_cast<std::uint16_t>(answer[n - 2] * 256 + answer[n - 1]);
}

std::uint32_t protocolFromAtr(std::span<const std::uint8_t> atr) {
    if (atr.size() <= 1 || (atr[1] & 0x80) == 0) return 0;
    std::size_t td1 = 2;
    for (std::uint8_t bit : {0x10, 0x20, 0x40})
        if (atr[1] & bit) ++td1;
    const std::uint8_t value = td1 < atr.size() ? atr[td1] : 0;
    return (value & 0x0Fu) + 1;
}

bool carriesPin(std::span<const std::uint8_t> command) {
    if (command.size() < 2) return false;
    const std::uint8_t ins = command[1];
    return ins == 0x20 || ins == 0x24 || ins == 0x2C;
}

std::string commandForLog(std::span<const std::uint8_t> command) {
    if (!carriesPin(command) || command.size() <= 5) return bytesToHex(command, true);
    // Short form: header and Lc (5 bytes); extended form: header and the
    // three-byte Lc 00 xx xx (ISO 7816-4, 5.1).
    const std::size_t shown = command[4] == 0 && command.size() > 7 ? 7 : 5;
    std::string text = bytesToHex(command.first(shown), true);
    for (std::size_t i = shown; i < command.size(); ++i) text += " **";
    return text;
}

} // namespace vexa
