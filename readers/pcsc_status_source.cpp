#include "readers/pcsc_status_source.h"

#include "cardaccess/interface_type.h"
#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

constexpr DWORD kUseBits = SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE;

// pcsc-lite reports a card that another application starts to use as no
// change (only the end of a use, or a switch between shared and exclusive
// use, ends the wait), although the states it fills in show the use. Taking
// those as a change gives the same use events as a resource manager that
// signals them.
bool useChanged(std::span<SCARD_READERSTATE> states) {
    for (SCARD_READERSTATE& state : states) {
        if ((state.dwEventState & kUseBits) == (state.dwCurrentState & kUseBits)) continue;
        if (!(state.dwEventState & SCARD_STATE_PRESENT)) continue;
        for (SCARD_READERSTATE& entry : states) entry.dwEventState &= ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        state.dwEventState |= SCARD_STATE_CHANGED;
        return true;
    }
    return false;
}

} // namespace

void PcscStatusSource::open() {
    try {
        context_ = PcscContext::establish();
    } catch (const TovException& e) {
        throw TovException(e.code(),
                           "SCardEstablishContext () unsuccessful in eventHandler ()" + returnCodeSuffix(e.code()));
    }
}

bool PcscStatusSource::query(std::span<SCARD_READERSTATE> states) {
    const LONG result = SCardGetStatusChange(context_.get(), 0, states.data(), static_cast<DWORD>(states.size()));
    if (result == static_cast<LONG>(SCARD_E_TIMEOUT)) return useChanged(states);
    if (result != SCARD_S_SUCCESS) {
        const auto code = static_cast<std::int32_t>(result);
        throw TovException(code, "SCardGetStatusChange () unsuccessful in eventHandler ()" + returnCodeSuffix(code));
    }
    return true;
}

std::unique_ptr<ReaderStatusSource> makeReaderStatusSource(std::int32_t interfaceType, std::string_view) {
    if (interfaceType == INTERFACE_PCSC) return std::make_unique<PcscStatusSource>();
    return nullptr;
}

} // namespace vexa
