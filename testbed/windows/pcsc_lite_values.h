#pragma once

#include <bit>
#include <cstdint>

#include "rpcsc/wire_message.h"

// The numbers in which winscard and pcsc-lite differ, and their conversion:
// the winscard stand-in speaks winscard to its program and carries the
// calls to a server that answers in pcsc-lite's numbers. Both sets are
// written out here, as neither system's headers give the other's.
namespace vexa::winscard {

// pcsc-lite's card state bits (SCardStatus), in which status answers carry
// them ...
inline constexpr std::uint32_t kLiteAbsent = wire::kCardStateAbsent;
inline constexpr std::uint32_t kLitePresent = 0x0004;
inline constexpr std::uint32_t kLiteSwallowed = 0x0008;
inline constexpr std::uint32_t kLitePowered = 0x0010;
inline constexpr std::uint32_t kLiteNegotiable = 0x0020;
inline constexpr std::uint32_t kLiteSpecific = 0x0040;
// ... and winscard's numbers for the same states, each the furthest a card
// has come: unknown 0, absent 1, present 2, swallowed 3, powered 4,
// negotiable 5, specific 6.
inline constexpr std::uint32_t kWinUnknown = 0;
inline constexpr std::uint32_t kWinSpecific = 6;

inline constexpr std::uint32_t kProtocolT0 = 0x0001; // the same on both
inline constexpr std::uint32_t kProtocolT1 = 0x0002; // the same on both
inline constexpr std::uint32_t kLiteProtocolRaw = 0x0004;
inline constexpr std::uint32_t kWinProtocolRaw = 0x00010000;
// winscard's "whatever the card prefers", which pcsc-lite does not know.
inline constexpr std::uint32_t kWinProtocolDefault = 0x80000000;

// winscard's SCARD_CTL_CODE(f): CTL_CODE(FILE_DEVICE_SMART_CARD 0x31, f,
// METHOD_BUFFERED 0, FILE_ANY_ACCESS 0).
inline constexpr std::uint32_t kWinControlBase = 0x00310000;
inline constexpr std::uint32_t kWinControlFunctionMask = 0xfff << 2;

// pcsc-lite's state bits as winscard's state number: the highest bit set.
constexpr std::uint32_t stateFromLite(std::uint32_t bits) {
    const std::uint32_t known =
        bits & (kLiteAbsent | kLitePresent | kLiteSwallowed | kLitePowered | kLiteNegotiable | kLiteSpecific);
    if (known == 0) return kWinUnknown;
    // kLiteAbsent (bit 1) is state 1, ... kLiteSpecific (bit 6) is state 6.
    return static_cast<std::uint32_t>(std::bit_width(known)) - 1;
}

// A set of winscard protocol bits as pcsc-lite's (T0, T1, raw; "default"
// becomes T0 or T1, which is what pcsc-lite's reader then chooses from).
constexpr std::uint32_t protocolsToLite(std::uint32_t protocols) {
    std::uint32_t lite = protocols & (kProtocolT0 | kProtocolT1);
    if (protocols & kWinProtocolRaw) lite |= kLiteProtocolRaw;
    if (protocols & kWinProtocolDefault) lite |= kProtocolT0 | kProtocolT1;
    return lite;
}

// pcsc-lite protocol bits as winscard's; bits winscard does not know stay.
constexpr std::uint32_t protocolsFromLite(std::uint32_t lite) {
    return (lite & ~kLiteProtocolRaw) | ((lite & kLiteProtocolRaw) ? kWinProtocolRaw : 0);
}

// How a control code goes to the server: winscard's SCARD_CTL_CODE(f) as
// the function number f, which the server turns into pcsc-lite's
// SCARD_CTL_CODE(f) for the drivers (raw false); any other code as it is.
struct LiteControl {
    std::uint32_t code;
    bool raw;
};

constexpr LiteControl controlToLite(std::uint32_t code) {
    if ((code & ~kWinControlFunctionMask) == kWinControlBase) return {(code & kWinControlFunctionMask) >> 2, false};
    return {code, true};
}

} // namespace vexa::winscard
