#include "pcsc/context.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "pcsc/pcsc_call.h"
#include "pcsc/reader_list.h"

namespace vexa::pcsc {
namespace {

std::uint64_t nextSerial() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

} // namespace

Context::Context(Context&& other) noexcept
    : context_(std::exchange(other.context_, 0)),
      valid_(std::exchange(other.valid_, false)),
      serial_(std::exchange(other.serial_, 0)) {}

Context& Context::operator=(Context&& other) noexcept {
    if (this != &other) {
        release();
        context_ = std::exchange(other.context_, 0);
        valid_ = std::exchange(other.valid_, false);
        serial_ = std::exchange(other.serial_, 0);
    }
    return *this;
}

Context Context::open(DWORD scope) {
    Context context;
    throwOnFailure(context.establish(scope), "SCardEstablishContext");
    return context;
}

std::int32_t Context::establish(DWORD scope) noexcept {
    release();
    SCARDCONTEXT context = 0;
    const std::int32_t result = code(SCardEstablishContext(scope, nullptr, nullptr, &context));
    if (result == 0) {
        context_ = context;
        valid_ = true;
        serial_ = nextSerial();
    }
    return result;
}

std::int32_t Context::release() noexcept {
    if (!valid_) return 0;
    valid_ = false;
    serial_ = 0;
    return code(SCardReleaseContext(std::exchange(context_, 0)));
}

std::int32_t Context::listReaders(std::vector<std::string>& names, const char* groups) const {
    DWORD length = 0;
    std::int32_t result = code(SCardListReaders(context_, groups, nullptr, &length));
    if (result != 0) return result;
    std::string list(length, '\0');
    result = code(SCardListReaders(context_, groups, list.data(), &length));
    if (result != 0) return result;
    list.resize(std::min<std::size_t>(length, list.size()));
    names = parseReaderList(list);
    return 0;
}

std::vector<std::string> Context::readers() const {
    std::vector<std::string> names;
    const std::int32_t result = listReaders(names);
    if (result == code(SCARD_E_NO_READERS_AVAILABLE)) return {};
    throwOnFailure(result, "SCardListReaders");
    return names;
}

std::int32_t Context::statusChange(DWORD timeoutMs, std::span<SCARD_READERSTATE> states) const noexcept {
    return code(SCardGetStatusChange(context_, timeoutMs, states.data(), static_cast<DWORD>(states.size())));
}

std::int32_t Context::cancel() const noexcept {
    if (!valid_) return 0;
    return code(SCardCancel(context_));
}

} // namespace vexa::pcsc
