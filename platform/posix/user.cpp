#include "platform/user.h"

#include <pwd.h>
#include <unistd.h>

namespace vexa::platform {

std::string accountHomeFolder() {
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
    return {};
}

} // namespace vexa::platform
