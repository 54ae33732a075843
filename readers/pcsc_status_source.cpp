#include "readers/pcsc_status_source.h"

#include <algorithm>

#include "cardaccess/pcsc_failure.h"
#include "cardaccess/system_error_text.h"
#include "pcsc/pcsc_call.h"
#include "support/tov_exception.h"

namespace vexa {
namespace {

bool anyCardPresent(std::span<const SCARD_READERSTATE> states) {
    return std::any_of(states.begin(), states.end(),
                       [](const SCARD_READERSTATE& s) { return (s.dwEventState & SCARD_STATE_PRESENT) != 0; });
}

} // namespace

// Still held here means no close came: the failure has no caller left.
PcscStatusSource::~PcscStatusSource() {
    logFailedRelease("SCardReleaseContext", context_.release());
}

void PcscStatusSource::open() {
    try {
        context_ = pcsc::Context::open();
    } catch (const CallError& e) {
        throw TovException(e.code(),
                           "SCardEstablishContext () unsuccessful in eventHandler ()" + returnCodeSuffix(e.code()));
    }
}

bool PcscStatusSource::query(std::span<SCARD_READERSTATE> states) {
    constexpr auto kWait = static_cast<DWORD>(kEventPassInterval.count());
    std::int32_t result = context_.statusChange(kWait, states);
    if (result == pcsc::code(SCARD_E_CANCELLED)) return false;
    // A wait that timed out answers with the states from its start, and
    // pcsc-lite does not wake for a use that begins: a fresh look keeps such
    // a change within one interval. Without a card there is no use to see
    // (an insertion ends the wait), and every look that times out costs
    // pcsc-lite about a millisecond of polling.
    if (result == pcsc::code(SCARD_E_TIMEOUT) && anyCardPresent(states)) result = context_.statusChange(0, states);
    if (result == pcsc::code(SCARD_E_TIMEOUT)) return useChanged(states);
    if (result != 0)
        throw TovException(result,
                           "SCardGetStatusChange () unsuccessful in eventHandler ()" + returnCodeSuffix(result));
    return true;
}

// A cancel that fails costs no more than the rest of one wait: the waiter
// looks at its stop flag before the next.
void PcscStatusSource::cancel() {
    static_cast<void>(context_.cancel());
}

} // namespace vexa
