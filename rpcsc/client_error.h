#pragma once

#include <cstdint>

namespace vexa::rpcsc {

// Results the client makes itself, beside the server's PC/SC codes and
// Windows Sockets numbers.
// A request that cannot be built, or an answer with a wrong header, for
// another operation or for other reader states (the card layer's internal
// error).
inline constexpr std::int32_t kInternalError = -1;
// A request with no connection to go over.
inline constexpr std::int32_t kNotConnected = 992402;
// An answer line that is no message.
inline constexpr std::int32_t kBadAnswer = 992403;

} // namespace vexa::rpcsc
