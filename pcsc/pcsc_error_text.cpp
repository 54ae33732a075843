#include "pcsc/pcsc_error_text.h"

#include "pcsc/pcsc_api.h"

#include <cstdio>
#include <mutex>

namespace vexa::pcsc {
namespace {

// The PC/SC codes all lie in the facility 0x8010xxxx.
bool isPcscCode(std::int32_t code) {
    return (static_cast<std::uint32_t>(code) & 0xFFFF0000u) == 0x80100000u;
}

#ifdef _WIN32
std::string systemText(std::int32_t code) {
    char buffer[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) {
        std::snprintf(buffer, sizeof buffer, "Unknown error: 0x%08X", static_cast<unsigned>(code));
        text = buffer;
    }
    return text;
}
#else
std::string systemText(std::int32_t code) {
    // pcsc_stringify_error fills a static buffer in some pcsc-lite builds.
    static std::mutex guard;
    std::lock_guard lock(guard);
    return pcsc_stringify_error(static_cast<LONG>(static_cast<std::uint32_t>(code)));
}
#endif

} // namespace

std::string libraryText(std::int32_t code) {
    return systemText(code);
}

std::string errorText(std::int32_t code) {
    if (!isPcscCode(code)) return {};
    std::string text = systemText(code);
    if (text.starts_with("Unknown error") || text.starts_with("Unkown error")) return {};
    return text;
}

} // namespace vexa::pcsc
