#include "cardaccess/pcsc_context.h"

#include <algorithm>
#include <utility>

#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"
#include "cardaccess/pcsc_call.h"

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

std::vector<std::string> PcscContext::listReaders() const {
    DWORD length = 0;
    const LONG sized = SCardListReaders(context_, nullptr, nullptr, &length);
    if (pcscCode(sized) == PCSC_E_NO_READERS_AVAILABLE) return {};
    checkPcsc(sized, "SCardListReaders () unsuccessful");
    std::string names(length, '\0');
    checkPcsc(SCardListReaders(context_, nullptr, names.data(), &length), "SCardListReaders () unsuccessful");
    names.resize(std::min<std::size_t>(length, names.size()));
    // A multi-string: names ended by NUL, the list by an empty name.
    std::vector<std::string> readers;
    for (std::size_t pos = 0; pos < names.size() && names[pos] != '\0';) {
        readers.emplace_back(names.c_str() + pos);
        pos += readers.back().size() + 1;
    }
    return readers;
}

std::int32_t PcscContext::release() noexcept {
    if (!valid_) return 0;
    valid_ = false;
    return pcscCode(SCardReleaseContext(std::exchange(context_, 0)));
}

} // namespace vexa
