#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"

namespace vexa::rpcsc {

// IPv4 peers in their mapped form, so that a peer reaching a dual-stack
// socket over IPv4 meets the same rules as one reaching an IPv4 socket.
using PeerAddress = platform::IpAddress;

// One address or CIDR block; prefixBits counts over the 128-bit form.
struct AddressBlock {
    PeerAddress address{};
    unsigned prefixBits = 128;
};

// "a.b.c.d", "a.b.c.d/n" (n <= 32), an IPv6 address, or one with "/n"
// (n <= 128); host bits beyond the prefix are ignored. Nothing else (no
// blanks, zone ids, brackets or names).
std::optional<AddressBlock> parseAddressBlock(std::string_view text);

// The address as a person reads it: dotted IPv4 for a mapped address.
std::string addressText(const PeerAddress& address);

// The peers a server accepts.
class AllowList {
public:
    // 127.0.0.0/8 and ::1: this machine only.
    static AllowList loopback();

    // Adds comma-separated addresses or blocks (blanks around an entry are
    // fine); on a bad entry adds nothing and returns false with the entry in
    // error.
    bool add(std::string_view list, std::string& error);
    bool allows(const PeerAddress& peer) const;
    bool empty() const { return blocks_.empty(); }

private:
    std::vector<AddressBlock> blocks_;
};

} // namespace vexa::rpcsc
