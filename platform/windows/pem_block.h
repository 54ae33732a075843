#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vexa::platform {

// The bytes of the first PEM block with this label ("CERTIFICATE",
// "PRIVATE KEY") in a text; none when there is none or it is no valid
// Base64.
std::optional<std::vector<std::uint8_t>> pemBlock(std::string_view pem, std::string_view label);

} // namespace vexa::platform
