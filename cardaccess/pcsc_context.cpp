#include "cardaccess/pcsc_context.h"

#include <utility>

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_call.h"
#include "cardaccess/fallback_log.h"

namespace vexa {

PcscContext::PcscContext(PcscContext&& other) noexcept
    : context_(std::exchange(other.context_, 0)), valid_(std::exchange(other.valid_, false)) {}

PcscContext& PcscContext::operator=(PcscContext&& other) noexcept {
    if (this != &other) {
        release();
        context_ = std::exchange(other.context_, 0);
        valid_ = std::exchange(other.valid_, false);
    }
    return *this;
}

PcscContext::~PcscContext() {
    const std::int32_t result = release();
    if (result != 0)
        fallbackLog().write(LOG_WARNING, "SCardReleaseContext () unsuccessful" + connectionErrorSuffix(result));
}

PcscContext PcscContext::establish() {
    PcscContext context;
    checkPcsc(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context.context_),
              "SCardEstablishContext () unsuccessful");
    context.valid_ = true;
    return context;
}

std::int32_t PcscContext::release() noexcept {
    if (!valid_) return 0;
    valid_ = false;
    return pcscCode(SCardReleaseContext(std::exchange(context_, 0)));
}

} // namespace vexa
