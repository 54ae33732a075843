#include "control/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vexa {

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot create an eventfd");
}

WakeSignal::~WakeSignal() {
    ::close(fd_);
}

void WakeSignal::signal() noexcept {
    const std::uint64_t one = 1;
    // Only a counter at its maximum refuses, and that still wakes the waiter.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeSignal::clear() noexcept {
    std::uint64_t count = 0;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace vexa
