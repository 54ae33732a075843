#include "pcsc/service_context.h"

#include "pcsc/pcsc_call.h"

namespace vexa::pcsc {

bool serviceGone(std::int32_t result) {
    // pcsc-lite answers a context whose daemon went away with
    // SCARD_E_NO_SERVICE, or SCARD_E_INVALID_HANDLE once it noticed;
    // Windows with SCARD_E_SERVICE_STOPPED.
    return result == code(SCARD_E_NO_SERVICE) || result == code(SCARD_E_SERVICE_STOPPED) ||
           result == code(SCARD_E_INVALID_HANDLE);
}

std::int32_t cardCallCode(std::int32_t result) {
    return serviceGone(result) ? code(SCARD_W_REMOVED_CARD) : result;
}

void ServiceContext::drop() noexcept {
    // Only the library's own bookkeeping is left to free: its answer tells
    // nothing new.
    static_cast<void>(context_.release());
}

std::int32_t ServiceContext::ensure() noexcept {
    return context_.valid() ? 0 : context_.establish(scope_);
}

} // namespace vexa::pcsc
