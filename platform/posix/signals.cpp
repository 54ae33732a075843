#include "platform/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>


namespace vexa::platform {
namespace {

void readSignal(WaitHandle handle) noexcept {
    signalfd_siginfo info{};
    [[maybe_unused]] const ssize_t n = ::read(static_cast<int>(handle), &info, sizeof info);
}

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

struct StopSignals::Mask {
    sigset_t set;
};

StopSignals::StopSignals(AtEnd atEnd) : atEnd_(atEnd), old_(std::make_unique<Mask>()) {
    const sigset_t set = stopSet();
    sigemptyset(&old_->set);
    pthread_sigmask(SIG_BLOCK, &set, &old_->set);
    handle_ = ::signalfd(-1, &set, SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
    if (valid()) ::close(static_cast<int>(handle_));
    if (atEnd_ == AtEnd::restoreMask) pthread_sigmask(SIG_SETMASK, &old_->set, nullptr);
}

void StopSignals::take() noexcept {
    readSignal(handle_);
}

ReloadSignal::ReloadSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Non-blocking: a reload that another read already took must not stop
    // the caller.
    handle_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

ReloadSignal::~ReloadSignal() {
    if (valid()) ::close(static_cast<int>(handle_));
}

void ReloadSignal::take() noexcept {
    readSignal(handle_);
}

void ignoreBrokenPipes() noexcept {
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace vexa::platform
