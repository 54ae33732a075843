#include "platform/input_wait.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

namespace vexa::platform {

int waitReadable(std::span<const WaitHandle> handles, std::span<bool> ready, int timeoutMs) {
    // Callers wait on two or three handles; more take the heap.
    std::array<pollfd, 4> fixed{};
    std::vector<pollfd> more;
    std::span<pollfd> fds(fixed.data(), handles.size());
    if (handles.size() > fixed.size()) {
        more.resize(handles.size());
        fds = more;
    }
    for (std::size_t i = 0; i < handles.size(); ++i) fds[i] = {static_cast<int>(handles[i]), POLLIN, 0};
    const int n = ::poll(fds.data(), fds.size(), timeoutMs < 0 ? -1 : timeoutMs);
    for (std::size_t i = 0; i < ready.size() && i < fds.size(); ++i) ready[i] = n > 0 && fds[i].revents != 0;
    return n;
}

} // namespace vexa::platform
