#include "server/allow_list.h"

#include <algorithm>
#include <charconv>

namespace vexa::rpcsc {

namespace {

constexpr unsigned kMappedPrefixBits = 96; // ::ffff:0:0/96 holds the IPv4 addresses

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
    if (host.empty()) return std::nullopt;
    AddressBlock block;
    unsigned maxBits = 128;
    if (const auto v4 = platform::parseIpv4(host)) {
        block.address = *v4;
        maxBits = 32;
    } else if (const auto v6 = platform::parseIpv6(host)) {
        block.address = *v6;
    } else {
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

std::string addressText(const PeerAddress& address) {
    return platform::ipAddressText(address);
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
