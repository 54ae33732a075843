#include "platform/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace vexa::platform {
namespace {

int fdOf(WaitHandle handle) {
    return static_cast<int>(handle);
}

} // namespace

WakeSignal::WakeSignal(std::nothrow_t) noexcept : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::WakeSignal() : WakeSignal(std::nothrow) {
    if (!valid()) throw std::system_error(errno, std::generic_category(), "cannot create an eventfd");
}

WakeSignal::~WakeSignal() {
    if (valid()) ::close(fdOf(handle_));
}

void WakeSignal::signal() noexcept {
    const std::uint64_t one = 1;
    // Only a counter at its maximum refuses, and that still wakes the waiter.
    while (::write(fdOf(handle_), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeSignal::clear() noexcept {
    std::uint64_t count = 0;
    while (::read(fdOf(handle_), &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace vexa::platform
