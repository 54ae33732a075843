#include "server/allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vexa::rpcsc {

namespace {

constexpr unsigned kMappedPrefixBits = 96; // ::ffff:0:0/96 holds the IPv4 addresses

PeerAddress mapped(const in_addr& v4) {
    PeerAddress a{};
    a[10] = 0xFF;
    a[11] = 0xFF;
    std::memcpy(a.data() + 12, &v4, 4);
    return a;
}

bool isMapped(const PeerAddress& a) {
    return std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) && a[10] == 0xFF &&
           a[11] == 0xFF;
}

// Does address lie in the first prefixBits of block?
bool within(const PeerAddress& address, const PeerAddress& block, unsigned prefixBits) {
    const unsigned whole = prefixBits / 8, rest = prefixBits % 8;
    if (!std::equal(block.begin(), block.begin() + whole, address.begin())) return false;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (block[whole] & mask) == (address[whole] & mask);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

} // namespace

std::optional<AddressBlock> parseAddressBlock(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    // INET6_ADDRSTRLEN bounds every textual address inet_pton accepts.
    if (host.empty() || host.size() >= INET6_ADDRSTRLEN || host.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::string hostText(host); // inet_pton needs the terminating NUL
    AddressBlock block;
    unsigned maxBits = 128;
    in_addr v4{};
    if (::inet_pton(AF_INET, hostText.c_str(), &v4) == 1) {
        block.address = mapped(v4);
        maxBits = 32;
    } else if (::inet_pton(AF_INET6, hostText.c_str(), block.address.data()) != 1) {
        return std::nullopt;
    }
    unsigned bits = maxBits;
    if (slash != std::string_view::npos) {
        const std::string_view prefix = text.substr(slash + 1);
        // Digits only: from_chars would take neither a sign nor blanks, but
        // also not an empty or overlong field.
        if (prefix.empty() || prefix.size() > 3 ||
            !std::all_of(prefix.begin(), prefix.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
        if (bits > maxBits) return std::nullopt;
    }
    block.prefixBits = bits + (maxBits == 32 ? kMappedPrefixBits : 0);
    return block;
}

std::optional<PeerAddress> peerAddress(const sockaddr* peer, socklen_t size) {
    if (peer->sa_family == AF_INET && size >= sizeof(sockaddr_in))
        return mapped(reinterpret_cast<const sockaddr_in*>(peer)->sin_addr);
    if (peer->sa_family == AF_INET6 && size >= sizeof(sockaddr_in6)) {
        PeerAddress a;
        std::memcpy(a.data(), &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, a.size());
        return a;
    }
    return std::nullopt;
}

std::string addressText(const PeerAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (isMapped(address))
        ::inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

AllowList AllowList::loopback() {
    AllowList list;
    std::string unused;
    list.add("127.0.0.0/8,::1", unused);
    return list;
}

bool AllowList::add(std::string_view list, std::string& error) {
    std::vector<AddressBlock> added;
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = trimmed(list.substr(0, comma));
        const auto block = parseAddressBlock(entry);
        if (!block) {
            error = "not an address or address block: \"" + std::string(entry) + "\"";
            return false;
        }
        added.push_back(*block);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    blocks_.insert(blocks_.end(), added.begin(), added.end());
    return true;
}

bool AllowList::allows(const PeerAddress& peer) const {
    return std::any_of(blocks_.begin(), blocks_.end(),
                       [&](const AddressBlock& b) { return within(peer, b.address, b.prefixBits); });
}

} // namespace vexa::rpcsc
