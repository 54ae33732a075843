#include "rpcsc/winsock_error.h"

#include <cerrno>
#include <string_view>

namespace vexa {
namespace {

struct WinsockText {
    std::int32_t code;
    std::string_view text;
};

constexpr WinsockText winsockTexts[] = {
    {WSAEINTR, "A blocking operation was interrupted."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEMSGSIZE, "A message sent on a datagram socket was larger than the internal message buffer."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET, "The connection has been broken due to keep-alive activity detecting a failure."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS, "No buffer space is available for the socket operation."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "The socket had already been shut down in that direction."},
    {WSAETIMEDOUT,
     "A connection attempt failed because the connected party did not properly respond after a period of time."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAEHOSTDOWN, "A socket operation failed because the destination host was down."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
    {WSATRY_AGAIN, "This is usually a temporary error during hostname resolution."},
    {WSANO_RECOVERY, "A non-recoverable error occurred during a database lookup."},
    {WSANO_DATA, "The requested name is valid, but no data of the requested type was found."},
};

struct ErrnoMapping {
    int err;
    std::int32_t code;
};

constexpr ErrnoMapping errnoMappings[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EMSGSIZE, WSAEMSGSIZE},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
#ifdef ESHUTDOWN // not among Windows' errno values
    {ESHUTDOWN, WSAESHUTDOWN},
#endif
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
#ifdef EHOSTDOWN // not among Windows' errno values
    {EHOSTDOWN, WSAEHOSTDOWN},
#endif
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

} // namespace

std::int32_t winsockErrorFromErrno(int err) {
    if (err == 0) return 0;
    for (const auto& m : errnoMappings)
        if (m.err == err) return m.code;
    return WSAEINVAL;
}

bool peerVanished(std::int32_t code) {
    return code == WSAETIMEDOUT || code == WSAENETRESET || code == WSAEHOSTUNREACH || code == WSAENETUNREACH ||
           code == WSAEHOSTDOWN;
}

std::string winsockErrorText(std::int32_t code) {
    for (const auto& w : winsockTexts)
        if (w.code == code) return std::string(w.text);
    return {};
}

} // namespace vexa
