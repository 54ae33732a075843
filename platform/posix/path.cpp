#include "platform/path.h"

namespace vexa::platform {

const char kPathSeparator = '/';

bool isPathSeparator(char c) {
    return c == '/';
}

} // namespace vexa::platform
