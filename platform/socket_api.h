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

#include <cstddef>
#include <optional>

#include "platform/ip_address.h"

namespace vexa::platform {

// The address and port of a socket address the system filled in (size
// bytes of it); nullopt for a family other than IPv4 and IPv6.
std::optional<IpEndpoint> endpointOf(const sockaddr_storage& address, std::size_t size);

// Readies the system's sockets for this process before the first call that
// needs them: Windows Sockets are started once; nothing to do elsewhere.
void startSockets();

} // namespace vexa::platform
