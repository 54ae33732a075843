#include "platform/unique_fd.h"

#include <io.h>

#include "platform/windows/crt_descriptor.h"

namespace vexa::platform {

int UniqueFd::close() noexcept {
    if (fd_ < 0) return 0;
    releaseLock(fd_);
    return ::_close(std::exchange(fd_, -1));
}

} // namespace vexa::platform
