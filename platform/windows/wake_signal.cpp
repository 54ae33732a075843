#include "platform/wake_signal.h"

#include <windows.h>

#include <system_error>

namespace vexa::platform {
namespace {

HANDLE eventOf(WaitHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Manual reset: signalled until cleared, however many signals came.
WaitHandle newEvent() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event == nullptr ? kNoWaitHandle : reinterpret_cast<WaitHandle>(event);
}

} // namespace

WakeSignal::WakeSignal(std::nothrow_t) noexcept : handle_(newEvent()) {}

WakeSignal::WakeSignal() : WakeSignal(std::nothrow) {
    if (!valid())
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "cannot create an event");
}

WakeSignal::~WakeSignal() {
    if (valid()) ::CloseHandle(eventOf(handle_));
}

void WakeSignal::signal() noexcept {
    if (valid()) ::SetEvent(eventOf(handle_));
}

void WakeSignal::clear() noexcept {
    if (valid()) ::ResetEvent(eventOf(handle_));
}

} // namespace vexa::platform
