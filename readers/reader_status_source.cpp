#include "readers/reader_status_source.h"

namespace vexa {

bool useChanged(std::span<SCARD_READERSTATE> states) {
    constexpr DWORD kUseBits = SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE;
    for (SCARD_READERSTATE& state : states) {
        if ((state.dwEventState & kUseBits) == (state.dwCurrentState & kUseBits)) continue;
        if (!(state.dwEventState & SCARD_STATE_PRESENT)) continue;
        for (SCARD_READERSTATE& entry : states) entry.dwEventState &= ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        state.dwEventState |= SCARD_STATE_CHANGED;
        return true;
    }
    return false;
}

} // namespace vexa
