#pragma once

#include <cstdint>
#include <string>

#include "cardaccess/card_error.h"

namespace vexa {

// Own error codes of the plug-in; the card layer's codes and texts are in
// cardaccess/card_error.h.
inline constexpr std::int32_t ERR_INVALID_HEX = 992200;
inline constexpr std::int32_t ERR_INVALID_PARAMETER = 992201;
inline constexpr std::int32_t ERR_INVALID_VALUE = 992202;
inline constexpr std::int32_t ERR_LOGFILE_UNREADABLE = 992203;
inline constexpr std::int32_t ERR_ENCODE_FAILED = 992209;
inline constexpr std::int32_t ERR_DECODE_FAILED = 992210;
inline constexpr std::int32_t ERR_NOT_INITIALISED = 992211;

// The text for any code: plug-in table, remote client table, system text,
// card-layer table, else "".
std::string lookupErrorText(std::int32_t code);

} // namespace vexa
