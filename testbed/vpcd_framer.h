#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vexa::testbed {

// vpcd's framing: every message is a 2-byte big-endian length and that many
// bytes, in both directions. vpcd sends the two parts separately, so bytes
// arrive in arbitrary pieces.
class VpcdFramer {
public:
    void feed(std::span<const std::uint8_t> bytes) { buffer_.insert(buffer_.end(), bytes.begin(), bytes.end()); }
    // The next complete message, if one has arrived.
    std::optional<std::vector<std::uint8_t>> next();
    void clear() { buffer_.clear(); }

    static std::vector<std::uint8_t> frame(std::span<const std::uint8_t> message);

private:
    std::vector<std::uint8_t> buffer_;
};

} // namespace vexa::testbed
