#pragma once

#include <cstdint>

// The status words a CT-BCS card terminal answers its own commands (class
// 20) with. The CT-API driver (ctapi/) answers with them and the card layer
// reads them; the driver links nothing of the card layer, so this header
// holds nothing but the numbers.
namespace vexa::ctbcs {

inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kCardReset = 0x9001;     // reset successful, asynchronous card
inline constexpr std::uint16_t kNoCardInTime = 0x6200;  // REQUEST ICC: no card presented in time
inline constexpr std::uint16_t kCardAlreadyUp = 0x6201; // REQUEST ICC: card already powered
inline constexpr std::uint16_t kResetFailed = 0x6400;   // the card could not be powered
inline constexpr std::uint16_t kNoCard = 0x64A1;        // RESET CT: no card in the slot
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kWrongUnit = 0x6A00; // no such unit: the terminal has no status for it
inline constexpr std::uint16_t kBadParameter = 0x6B00;
inline constexpr std::uint16_t kNoInstruction = 0x6D00;
inline constexpr std::uint16_t kNoClass = 0x6E00;

} // namespace vexa::ctbcs
