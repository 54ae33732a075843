#pragma once

#include <memory>

#include "platform/wait_handle.h"

namespace vexa::platform {

// The stop signals (SIGINT and SIGTERM: Ctrl-C, a service stop) as a handle
// to wait on instead of interruptions: blocked in the calling thread and in
// the threads it starts afterwards.
class StopSignals {
public:
    // What becomes of the blocking when this object goes: restored, or kept
    // (a program that ends right after, where a stop signal still pending
    // must not end it before it has returned).
    enum class AtEnd { restoreMask, keepMask };

    explicit StopSignals(AtEnd atEnd);
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals();

    // Not valid when no handle could be made; errno then tells why.
    bool valid() const { return handle_ != kNoWaitHandle; }
    // Readable once a stop signal has come.
    WaitHandle handle() const { return handle_; }
    // Takes the signal that came, so that it is not delivered once the
    // blocking ends.
    void take() noexcept;

private:
    struct Mask;
    AtEnd atEnd_;
    std::unique_ptr<Mask> old_; // the blocked signals before
    WaitHandle handle_ = kNoWaitHandle;
};

// The reload signal (SIGHUP: a service reload) as a handle to wait on,
// blocked like the stop signals and for as long as the process runs. Windows
// has no such signal: valid() is false there.
class ReloadSignal {
public:
    ReloadSignal();
    ReloadSignal(const ReloadSignal&) = delete;
    ReloadSignal& operator=(const ReloadSignal&) = delete;
    ~ReloadSignal();

    // Not valid when no handle could be made; errno then tells why.
    bool valid() const { return handle_ != kNoWaitHandle; }
    // Readable once a reload signal has come.
    WaitHandle handle() const { return handle_; }
    // Takes the signal that came, so that the handle waits for the next.
    void take() noexcept;

private:
    WaitHandle handle_ = kNoWaitHandle;
};

// A write to a peer that has gone fails with an error instead of ending the
// process.
void ignoreBrokenPipes() noexcept;

} // namespace vexa::platform
