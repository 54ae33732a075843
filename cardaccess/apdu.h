#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vexa {

// SW1 * 256 + SW2 of an answer; 0 when it has fewer than two bytes.
std::uint16_t statusWord(std::span<const std::uint8_t> answer);

// The protocol an ATR announces in TD1 (ISO 7816-3, 8.2.3): 1 for T=0, 2 for
// T=1; 0 without TD1. A TD1 position past the end reads as 00.
std::uint32_t protocolFromAtr(std::span<const std::uint8_t> atr);

// True for the commands whose data fields may carry PINs (ISO 7816-4), each
// with its even and odd INS: VERIFY (20, 21), CHANGE REFERENCE DATA (24, 25),
// DISABLE and ENABLE VERIFICATION REQUIREMENT (26 to 29), RESET RETRY
// COUNTER (2C, 2D), and ENVELOPE (C2, C3), which may wrap any of them.
bool carriesPin(std::span<const std::uint8_t> command);

// A command for the log: lower-case hex with blanks between bytes; for the
// PIN-carrying commands every byte behind the header and the length field as
// "**", so PINs never reach a log file.
std::string commandForLog(std::span<const std::uint8_t> command);

// The one log line of bytes sent: "APDU command (n bytes): " and the command
// as commandForLog writes it ("<null>" for none); data sent with a control
// code only as "Control data: n bytes", because what a reader control request
// carries (a PIN for the reader's keypad, say) has no form we could mask.
std::string sentBytesLogLine(std::span<const std::uint8_t> bytes, bool withControlCode);

} // namespace vexa
