#include "readers/reader_status_source.h"

#include "cardaccess/interface_type.h"
#include "readers/pcsc_status_source.h"
#include "readers/remote_status_source.h"

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

std::unique_ptr<ReaderStatusSource> makeReaderStatusSource(std::int32_t interfaceType, std::string_view servers) {
    if (interfaceType == INTERFACE_PCSC) return std::make_unique<PcscStatusSource>();
    if (interfaceType == INTERFACE_REMOTE_PCSC) return std::make_unique<RemoteStatusSource>(std::string(servers));
    return nullptr;
}

} // namespace vexa
