#include "pcsc/pcsc_error_text.h"

#include <PCSC/pcsclite.h>
#include <PCSC/wintypes.h>

#include <mutex>

namespace vexa::pcsc {
namespace {

// pcsc-lite's codes all lie in the facility 0x8010xxxx.
bool isPcscCode(std::int32_t code) {
    return (static_cast<std::uint32_t>(code) & 0xFFFF0000u) == 0x80100000u;
}

} // namespace

std::string errorText(std::int32_t code) {
    if (!isPcscCode(code)) return {};
    // pcsc_stringify_error fills a static buffer in some pcsc-lite builds.
    static std::mutex guard;
    std::lock_guard lock(guard);
    std::string text = pcsc_stringify_error(static_cast<LONG>(static_cast<std::uint32_t>(code)));
    if (text.starts_with("Unknown error") || text.starts_with("Unkown error")) return {};
    return text;
}

} // namespace vexa::pcsc
