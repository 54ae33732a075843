#include "platform/error_text.h"

#include <string.h>

namespace vexa::platform {
namespace {

// strerror_r comes in two forms; whichever the C library offers, the text
// ends up in the result.
[[maybe_unused]] const char* textOf(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* textOf(const char* result, const char*) {
    return result;
}

} // namespace

std::string errorText(int errnoValue) {
    char buffer[256] = {};
    const char* text = textOf(::strerror_r(errnoValue, buffer, sizeof buffer), buffer);
    return text != nullptr && *text != '\0' ? std::string(text) : "error " + std::to_string(errnoValue);
}

} // namespace vexa::platform
