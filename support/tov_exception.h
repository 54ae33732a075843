#pragma once

#include <cstdint>
#include <string>

namespace vexa {

// The one exception type of the support and card layers: an error code and an
// English text for the log. Thrown inside a layer, caught at its boundary.
class TovException {
public:
    explicit TovException(std::int32_t code) : code_(code) {}
    TovException(std::int32_t code, std::string text) : code_(code), text_(std::move(text)) {}

    std::int32_t code() const { return code_; }
    std::string text() const { return text_; }

private:
    std::int32_t code_;
    std::string text_;
};

} // namespace vexa
