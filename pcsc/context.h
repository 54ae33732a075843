#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexa::pcsc {

// Owns one PC/SC resource-manager context. The destructor releases a context
// still held but cannot report a failure: an owner that must report one
// calls release() itself.
class Context {
public:
    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    Context(Context&& other) noexcept;
    Context& operator=(Context&& other) noexcept;
    ~Context() { release(); }

    // SCardEstablishContext; throws CallError on failure.
    static Context open(DWORD scope = SCARD_SCOPE_USER);
    // SCardEstablishContext, giving up a context held before; the code. The
    // context is held only on success.
    std::int32_t establish(DWORD scope) noexcept;
    // SCardReleaseContext; 0 when none is held. Gone afterwards whatever the
    // result.
    std::int32_t release() noexcept;

    // SCardListReaders in the resource manager's order; the code, with names
    // filled in only on success (SCARD_E_NO_READERS_AVAILABLE is a failure
    // here, passed on as it came).
    std::int32_t listReaders(std::vector<std::string>& names, const char* groups = nullptr) const;
    // The same, empty when there is no reader; throws CallError on any other
    // failure.
    std::vector<std::string> readers() const;

    // SCardGetStatusChange over the states, waiting up to timeoutMs; the code.
    std::int32_t statusChange(DWORD timeoutMs, std::span<SCARD_READERSTATE> states) const noexcept;
    // SCardCancel: a statusChange waiting on this context in another thread
    // returns SCARD_E_CANCELLED; the code. A cancel while nobody waits is
    // lost, so a waiter checks its own stop flag before each wait. The
    // caller keeps it apart from establish and release.
    std::int32_t cancel() const noexcept;

    SCARDCONTEXT get() const { return context_; }
    bool valid() const { return valid_; }
    // Tells this context apart from every other one the process made, also
    // from a later one with the same handle value; 0 without a context.
    std::uint64_t serial() const { return serial_; }

private:
    SCARDCONTEXT context_ = 0;
    bool valid_ = false;
    std::uint64_t serial_ = 0;
};

} // namespace vexa::pcsc
