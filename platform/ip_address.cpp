#include "platform/ip_address.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/socket_api.h"

namespace vexa::platform {
namespace {

IpAddress mapped(const in_addr& v4) {
    return ipv4Mapped(std::span<const std::uint8_t, 4>(reinterpret_cast<const std::uint8_t*>(&v4.s_addr), 4));
}

bool isMapped(const IpAddress& a) {
    return std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) && a[10] == 0xFF &&
           a[11] == 0xFF;
}

// The text as inet_pton takes it: NUL-terminated, so nothing that holds a NUL
// or is longer than any address (INET6_ADDRSTRLEN bounds them all).
std::optional<std::string> addressLiteral(std::string_view text) {
    if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return std::nullopt;
    return std::string(text);
}

} // namespace

IpAddress ipv4Mapped(std::span<const std::uint8_t, 4> address) {
    IpAddress a{};
    a[10] = 0xFF;
    a[11] = 0xFF;
    std::copy(address.begin(), address.end(), a.begin() + 12);
    return a;
}

std::optional<IpAddress> parseIpv4(std::string_view text) {
    const auto literal = addressLiteral(text);
    in_addr v4{};
    if (!literal || ::inet_pton(AF_INET, literal->c_str(), &v4) != 1) return std::nullopt;
    return mapped(v4);
}

std::optional<IpAddress> parseIpv6(std::string_view text) {
    const auto literal = addressLiteral(text);
    IpAddress a{};
    if (!literal || ::inet_pton(AF_INET6, literal->c_str(), a.data()) != 1) return std::nullopt;
    return a;
}

std::string ipAddressText(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (isMapped(address))
        ::inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

std::optional<IpAddress> resolveIpv4(std::string_view host) {
    const std::string name(host);
    in_addr address{};
    if (::inet_pton(AF_INET, name.c_str(), &address) == 1) return mapped(address);
    startSockets();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, ::freeaddrinfo);
    return mapped(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
}

std::optional<IpEndpoint> endpointOf(const sockaddr_storage& address, std::size_t size) {
    IpEndpoint endpoint;
    if (address.ss_family == AF_INET && size >= sizeof(sockaddr_in)) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        endpoint.address = mapped(v4.sin_addr);
        endpoint.port = ntohs(v4.sin_port);
        return endpoint;
    }
    if (address.ss_family == AF_INET6 && size >= sizeof(sockaddr_in6)) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(endpoint.address.data(), &v6.sin6_addr, endpoint.address.size());
        endpoint.port = ntohs(v6.sin6_port);
        return endpoint;
    }
    return std::nullopt;
}

} // namespace vexa::platform
