#pragma once

#include <string>

namespace vexa::platform {

// Starts Windows Sockets for this process once, before the first socket call
// of any thread; it stays started until the process ends.
void useWinsock();

// The errno value (the <cerrno> names the callers test) for a Windows Sockets
// error; EIO for one without a counterpart.
int errnoFromWinsock(int wsaError);

// The system's own text for a Windows Sockets error.
std::string winsockFailureText(int wsaError);

} // namespace vexa::platform
