#include "platform/error_text.h"

#include <string.h>

namespace vexa::platform {

std::string errorText(int errnoValue) {
    char buffer[256] = {};
    if (::strerror_s(buffer, sizeof buffer, errnoValue) != 0 || buffer[0] == '\0')
        return "error " + std::to_string(errnoValue);
    return buffer;
}

} // namespace vexa::platform
