#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// A remote PC/SC server: IPv4 address (the octets in text order, first octet
// in the high byte) and TCP port. Text form "a.b.c.d:port".
struct ServerAddress {
    std::uint32_t address = 0;
    std::uint32_t port = 0;

    // "" gives 0.0.0.0:0; without a colon the port is 0. Four decimal
    // octets of at most 255 (no host names) and a port of at most 65535.
    static std::optional<ServerAddress> parse(std::string_view text);
    std::string text() const;
    // The dotted address alone.
    std::string host() const;

    friend bool operator==(const ServerAddress&, const ServerAddress&) = default;
};

using ServerAddressList = std::vector<ServerAddress>;

// A remote reader name "a.b.c.d:port:reader on the server" taken apart.
struct RemoteReaderName {
    std::string serverPart; // as written, up to the second colon
    ServerAddress server;
    std::string reader; // may itself contain colons

    // 992401 when the name has fewer than two colons (serverPart stays
    // empty) or the server part does not parse (serverPart holds it).
    static std::int32_t split(std::string_view name, RemoteReaderName& out);
};

} // namespace vexa
