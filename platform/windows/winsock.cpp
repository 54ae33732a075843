#include "platform/socket_api.h"
#include "platform/windows/winsock.h"

#include <winsock2.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace vexa::platform {
namespace {

// Winsock counts WSAStartup calls per process, not per thread: one start
// serves every socket of every thread, and the cleanup when the process ends
// balances it.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession() {
        if (started_) ::WSACleanup();
    }

private:
    bool started_ = false;
};

struct WinsockMapping {
    int wsa;
    int err;
};

// MinGW's <errno.h> has no ESHUTDOWN or EHOSTDOWN: a send after shutdown is
// EPIPE as on POSIX, a host that is down is unreachable.
constexpr WinsockMapping kMappings[] = {
    {WSAEINTR, EINTR},
    {WSAEBADF, EBADF},
    {WSAEACCES, EACCES},
    {WSAEFAULT, EFAULT},
    {WSAEINVAL, EINVAL},
    {WSAEMFILE, EMFILE},
    {WSAEWOULDBLOCK, EWOULDBLOCK},
    {WSAEINPROGRESS, EINPROGRESS},
    {WSAEALREADY, EALREADY},
    {WSAENOTSOCK, ENOTSOCK},
    {WSAEMSGSIZE, EMSGSIZE},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT},
    {WSAEADDRINUSE, EADDRINUSE},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL},
    {WSAENETDOWN, ENETDOWN},
    {WSAENETUNREACH, ENETUNREACH},
    {WSAENETRESET, ENETRESET},
    {WSAECONNABORTED, ECONNABORTED},
    {WSAECONNRESET, ECONNRESET},
    {WSAENOBUFS, ENOBUFS},
    {WSAEISCONN, EISCONN},
    {WSAENOTCONN, ENOTCONN},
    {WSAESHUTDOWN, EPIPE},
    {WSAETIMEDOUT, ETIMEDOUT},
    {WSAECONNREFUSED, ECONNREFUSED},
    {WSAEHOSTDOWN, EHOSTUNREACH},
    {WSAEHOSTUNREACH, EHOSTUNREACH},
    {WSA_NOT_ENOUGH_MEMORY, ENOMEM},
    {WSA_INVALID_HANDLE, EBADF},
    {WSA_INVALID_PARAMETER, EINVAL},
};

} // namespace

void startSockets() {
    static const WinsockSession session;
}

int errnoFromWinsock(int wsaError) {
    for (const WinsockMapping& m : kMappings)
        if (m.wsa == wsaError) return m.err;
    return EIO;
}

std::string winsockFailureText(int wsaError) {
    // With the number: Wine and some language packs have no text for it.
    return std::system_category().message(wsaError) + " (" + std::to_string(wsaError) + ")";
}

} // namespace vexa::platform
