#include "cardaccess/server_address.h"

#include <array>

#include "cardaccess/card_error.h"

namespace vexa {
namespace {

// Digits only, at least one, value at most max.
bool parseBounded(std::string_view text, std::uint32_t max, std::uint32_t& value) {
    if (text.empty()) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > max) return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

bool parseDotted(std::string_view text, std::uint32_t& address) {
    address = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = i < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        std::uint32_t octet = 0;
        if (!parseBounded(text.substr(0, dot), 255, octet)) return false;
        address = address << 8 | octet;
        text.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return true;
}

} // namespace

std::optional<ServerAddress> ServerAddress::parse(std::string_view text) {
    ServerAddress server;
    if (text.empty()) return server;
    const std::size_t colon = text.find(':');
    if (!parseDotted(text.substr(0, colon), server.address)) return std::nullopt;
    if (colon == std::string_view::npos) return server;
    const std::string_view port = text.substr(colon + 1);
    // A port beyond 16 bits would reach another port, not fail.
    if (!port.empty() && !parseBounded(port, 65535, server.port)) return std::nullopt;
    return server;
}

std::string ServerAddress::host() const {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (!out.empty()) out += '.';
        out += std::to_string(address >> shift & 0xFF);
    }
    return out;
}

std::string ServerAddress::text() const {
    return host() + ":" + std::to_string(port);
}

std::int32_t RemoteReaderName::split(std::string_view name, RemoteReaderName& out) {
    out = {};
    const std::size_t first = name.find(':');
    const std::size_t second = first == std::string_view::npos ? first : name.find(':', first + 1);
    if (second == std::string_view::npos) return ERR_REMOTE_BAD_ADDRESS;
    out.serverPart = name.substr(0, second);
    const auto server = ServerAddress::parse(out.serverPart);
    if (!server) return ERR_REMOTE_BAD_ADDRESS;
    out.server = *server;
    out.serverPart = server->text();
    out.reader = name.substr(second + 1);
    return 0;
}

} // namespace vexa
