#pragma once

// The system's socket headers, for the address code both systems share
// (ip_address.cpp); the rest of the tree goes through socket.h.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

namespace vexa::platform {

// Readies the system's sockets for this process before the first call that
// needs them: Windows Sockets are started once; nothing to do elsewhere.
void startSockets();

} // namespace vexa::platform
