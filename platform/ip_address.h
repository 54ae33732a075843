#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vexa::platform {

// An IPv6 address in network byte order; an IPv4 address is held as its
// IPv4-mapped form (::ffff:a.b.c.d), so that a peer reaching a dual-stack
// socket over IPv4 looks the same as one reaching an IPv4 socket.
using IpAddress = std::array<std::uint8_t, 16>;

// An address and port of a TCP socket.
struct IpEndpoint {
    IpAddress address{};
    std::uint16_t port = 0;
};

// The mapped form of an IPv4 address given in network byte order.
IpAddress ipv4Mapped(std::span<const std::uint8_t, 4> address);
// A dotted IPv4 address ("a.b.c.d" and nothing else), in its mapped form.
std::optional<IpAddress> parseIpv4(std::string_view text);
// An IPv6 address in any of its textual forms (no brackets, zone ids or
// blanks).
std::optional<IpAddress> parseIpv6(std::string_view text);
// The address as a person reads it: dotted IPv4 for a mapped address.
std::string ipAddressText(const IpAddress& address);
// The IPv4 address of a dotted text or a host name; nullopt when the name
// does not resolve.
std::optional<IpAddress> resolveIpv4(std::string_view host);

} // namespace vexa::platform
