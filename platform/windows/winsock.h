#pragma once

#include <string>

namespace vexa::platform {

// The errno value (the <cerrno> names the callers test) for a Windows Sockets
// error; EIO for one without a counterpart.
int errnoFromWinsock(int wsaError);

// The system's own text for a Windows Sockets error, with its number.
std::string winsockFailureText(int wsaError);

} // namespace vexa::platform
