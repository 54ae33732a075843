#include "readers/pcsc_status_source.h"

#include "support/text.h"
#include "support/tov_exception.h"

namespace vexa {

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

} // namespace vexa
