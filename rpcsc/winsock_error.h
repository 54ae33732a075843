#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
// The system's own Windows Sockets numbers (macros of the same names).
#include <winerror.h>
#endif

namespace vexa {

#ifndef _WIN32
// Windows Sockets error numbers: what the remote PC/SC layers report for
// errno values of socket calls, on every platform.
inline constexpr std::int32_t WSAEINTR = 10004;
inline constexpr std::int32_t WSAEBADF = 10009;
inline constexpr std::int32_t WSAEACCES = 10013;
inline constexpr std::int32_t WSAEFAULT = 10014;
inline constexpr std::int32_t WSAEINVAL = 10022;
inline constexpr std::int32_t WSAEMFILE = 10024;
inline constexpr std::int32_t WSAEWOULDBLOCK = 10035;
inline constexpr std::int32_t WSAEINPROGRESS = 10036;
inline constexpr std::int32_t WSAEALREADY = 10037;
inline constexpr std::int32_t WSAENOTSOCK = 10038;
inline constexpr std::int32_t WSAEMSGSIZE = 10040;
inline constexpr std::int32_t WSAEAFNOSUPPORT = 10047;
inline constexpr std::int32_t WSAEADDRINUSE = 10048;
inline constexpr std::int32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr std::int32_t WSAENETDOWN = 10050;
inline constexpr std::int32_t WSAENETUNREACH = 10051;
inline constexpr std::int32_t WSAENETRESET = 10052;
inline constexpr std::int32_t WSAECONNABORTED = 10053;
inline constexpr std::int32_t WSAECONNRESET = 10054;
inline constexpr std::int32_t WSAENOBUFS = 10055;
inline constexpr std::int32_t WSAEISCONN = 10056;
inline constexpr std::int32_t WSAENOTCONN = 10057;
inline constexpr std::int32_t WSAESHUTDOWN = 10058;
inline constexpr std::int32_t WSAETIMEDOUT = 10060;
inline constexpr std::int32_t WSAECONNREFUSED = 10061;
inline constexpr std::int32_t WSAEHOSTDOWN = 10064;
inline constexpr std::int32_t WSAEHOSTUNREACH = 10065;
inline constexpr std::int32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr std::int32_t WSATRY_AGAIN = 11002;
inline constexpr std::int32_t WSANO_RECOVERY = 11003;
inline constexpr std::int32_t WSANO_DATA = 11004;
#endif

// The Windows Sockets number for an errno value of a socket call; 0 for 0.
std::int32_t winsockErrorFromErrno(int err);

// Whether a transfer failed with code because the system found the peer
// dead (unanswered keepalive probes, data unacknowledged for too long, the
// way to it gone), as opposed to a close, a reset or a time-out of our own.
bool peerVanished(std::int32_t code);

// Our English text for a Windows Sockets number, else "".
std::string winsockErrorText(std::int32_t code);

} // namespace vexa
