#include "testbed/vpcd_framer.h"

namespace vexa::testbed {

std::optional<std::vector<std::uint8_t>> VpcdFramer::next() {
    if (buffer_.size() < 2) return std::nullopt;
    const std::size_t n = buffer_[0] * 256u + buffer_[1];
    if (buffer_.size() < 2 + n) return std::nullopt;
    std::vector<std::uint8_t> message(buffer_.begin() + 2, buffer_.begin() + 2 + n);
    buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + n);
    return message;
}

std::vector<std::uint8_t> VpcdFramer::frame(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> out;
    out.reserve(message.size() + 2);
    out.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

} // namespace vexa::testbed
