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
    switch (command[1]) {
        // The verification family with both INS parities: the odd one
        // carries its data as BER-TLV, with the same secrets in it.
        case 0x20:
        case 0x21:
        case 0x24:
        case 0x25:
        case 0x26:
        case 0x27:
        case 0x28:
        case 0x29:
        case 0x2C:
        case 0x2D:
        // ENVELOPE wraps another command, a VERIFY as likely as any.
        case 0xC2:
        case 0xC3:
            return true;
        default:
            return false;
    }
}

namespace {

// Header and length field (ISO 7816-4, 5.1): the extended form 00 Lc1 Lc2
// only when its Lc accounts for the rest of the command (with or without
// the two-byte Le), else the short form's single Lc byte, so a malformed
// command never shows data bytes as a length.
std::size_t headerAndLength(std::span<const std::uint8_t> command) {
    if (command.size() > 7 && command[4] == 0) {
        const std::size_t lc = command[5] * 256u + command[6];
        if (lc != 0 && (command.size() == 7 + lc || command.size() == 9 + lc)) return 7;
    }
    return 5;
}

} // namespace

std::string commandForLog(std::span<const std::uint8_t> command) {
    if (!carriesPin(command) || command.size() <= 5) return bytesToHex(command, true);
    const std::size_t shown = headerAndLength(command);
    std::string text = bytesToHex(command.first(shown), true);
    for (std::size_t i = shown; i < command.size(); ++i) text += " **";
    return text;
}

std::string sentBytesLogLine(std::span<const std::uint8_t> bytes, bool withControlCode) {
    const std::string count = unsignedDecimal(bytes.size());
    if (withControlCode) return "Control data: " + count + " bytes";
    return "APDU command (" + count + " bytes): " + (bytes.empty() ? std::string("<null>") : commandForLog(bytes));
}

} // namespace vexa
