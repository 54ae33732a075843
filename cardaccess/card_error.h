#pragma once

#include <cstdint>
#include <string>

#include "pcsc/pcsc_call.h"
#include "rpcsc/client_error.h"

// The card layer's codes and texts. The card access, reader and plug-in
// layers all report through them, so they live at the lowest card layer.
// PC/SC codes pass through unchanged: they are pcsc-lite's own SCARD_E_* and
// SCARD_W_*, as signed codes through pcsc::code.
namespace vexa {

inline constexpr std::int32_t ERR_INTERNAL = -1;
inline constexpr std::int32_t ERR_CARD_FIRST = 992300;
inline constexpr std::int32_t ERR_NO_INIT = 992300;
inline constexpr std::int32_t ERR_NO_READER = 992301;
inline constexpr std::int32_t ERR_NO_CARD = 992302;
inline constexpr std::int32_t ERR_CARD_DATA = 992303;
inline constexpr std::int32_t ERR_BUFFER_SIZE = 992307;
inline constexpr std::int32_t ERR_UNKNOWN_INTERFACE = 992308;
inline constexpr std::int32_t ERR_INVALID_VALUE_GIVEN = 992312;
inline constexpr std::int32_t ERR_NOT_CONNECTED = 992314;
inline constexpr std::int32_t ERR_CARD_REMOVED = 992315;
inline constexpr std::int32_t ERR_NO_SECODER = 992316;
inline constexpr std::int32_t ERR_CARD_LAST = 992322;
inline constexpr std::int32_t ERR_REMOTE_BAD_ADDRESS = 992401;
inline constexpr std::int32_t ERR_REMOTE_NOT_CONNECTED = rpcsc::kNotConnected;
inline constexpr std::int32_t ERR_REMOTE_BAD_ANSWER = rpcsc::kBadAnswer;

// The card-layer table alone: "Interner Fehler" for -1, 992300..992322;
// else "".
std::string cardTableText(std::int32_t code);
// Card-layer table (and -1), else the system text.
std::string cardErrorText(std::int32_t code);
// The remote client's table alone ("" outside 992401..992403).
std::string remoteErrorText(std::int32_t code);
// A code as written in log lines: "0", "992302", "0x6a82", "0x8010000b".
std::string errorCodeText(std::int32_t code);
// 0, 0x9000 and 0x63C0..0x63CF.
bool isSuccessCode(std::int32_t code);
// "" for a success code, else " (return code <code>: <text>)".
std::string cardErrorSuffix(std::int32_t code);
// The connection's log suffix: "" for 0, else " (return code <decimal>:
// <remote table text or system text>)".
std::string connectionErrorSuffix(std::int32_t code);

} // namespace vexa
