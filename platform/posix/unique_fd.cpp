#include "platform/unique_fd.h"

#include <unistd.h>

namespace vexa::platform {

int UniqueFd::close() noexcept {
    return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0;
}

} // namespace vexa::platform
