#pragma once

#include <cstdint>
#include <string>

namespace vexa {

// Own error codes.
inline constexpr std::int32_t ERR_INTERNAL = -1;
inline constexpr std::int32_t ERR_INVALID_HEX = 992200;
inline constexpr std::int32_t ERR_INVALID_PARAMETER = 992201;
inline constexpr std::int32_t ERR_INVALID_VALUE = 992202;
inline constexpr std::int32_t ERR_LOGFILE_UNREADABLE = 992203;
inline constexpr std::int32_t ERR_ENCODE_FAILED = 992209;
inline constexpr std::int32_t ERR_DECODE_FAILED = 992210;
inline constexpr std::int32_t ERR_NOT_INITIALISED = 992211;
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
inline constexpr std::int32_t ERR_REMOTE_NOT_CONNECTED = 992402;
inline constexpr std::int32_t ERR_REMOTE_BAD_ANSWER = 992403;

// The text for any code: plug-in table, remote client table, system text,
// card-layer table, else "".
std::string lookupErrorText(std::int32_t code);
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

} // namespace vexa
