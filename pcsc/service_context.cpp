#include "pcsc/service_context.h"

#include "pcsc/pcsc_call.h"

namespace vexa::pcsc {

bool serviceGone(std::int32_t result) {
    // pcsc-lite answers every call on a context of a pcscd that went away
    // with SCARD_E_NO_SERVICE, Windows with SCARD_E_SERVICE_STOPPED; a
    // resource manager that no longer knows the context (a restarted
    // vexa-rpcscd) with SCARD_E_INVALID_HANDLE.
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
