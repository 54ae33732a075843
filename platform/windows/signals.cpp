#include "platform/signals.h"

#include <windows.h>

#include <cerrno>

namespace vexa::platform {
namespace {

// The console calls the handler on a thread of its own at any time, also
// after the StopSignals that installed it has gone (AtEnd::keepMask): the
// event it sets lives as long as the process.
HANDLE stopEvent() {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleEvent(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(stopEvent());
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends as soon as this returns: wait here, so that
            // the program can shut down in order until it exits (the system
            // ends it after its own grace time).
            ::SetEvent(stopEvent());
            ::Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

} // namespace

// Nothing on Windows needs a signal mask; Mask keeps the POSIX shape.
struct StopSignals::Mask {};

StopSignals::StopSignals(AtEnd atEnd) : atEnd_(atEnd) {
    const HANDLE event = stopEvent();
    if (event == nullptr || !::SetConsoleCtrlHandler(onConsoleEvent, TRUE)) {
        errno = EINVAL;
        return;
    }
    handle_ = reinterpret_cast<WaitHandle>(event);
}

StopSignals::~StopSignals() {
    if (valid() && atEnd_ == AtEnd::restoreMask) ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

void StopSignals::take() noexcept {
    if (valid()) ::ResetEvent(reinterpret_cast<HANDLE>(handle_));
}

// Windows has no reload signal; a service there is restarted instead.
ReloadSignal::ReloadSignal() {
    errno = ENOSYS;
}

ReloadSignal::~ReloadSignal() = default;

void ReloadSignal::take() noexcept {}

// Windows has no SIGPIPE: a send to a peer that has gone fails on its own.
void ignoreBrokenPipes() noexcept {}

} // namespace vexa::platform
