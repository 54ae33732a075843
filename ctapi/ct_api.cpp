// The three entry points: argument checks, and every CtError or other
// exception turned into a return code here, before it reaches C.
#include "ctapi/ct_api.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ctapi/ct_error.h"
#include "ctapi/terminal_registry.h"

namespace vexa::ctapi {
namespace {

constexpr unsigned char kCard = 0, kTerminal = 1;

// The open terminals of this process. The one state a C-ABI driver cannot
// avoid: CT_init and CT_data meet only through it. Destroyed, and every
// terminal closed, when the library is unloaded.
TerminalRegistry& registry() {
    static TerminalRegistry terminals;
    return terminals;
}

template <typename Fn>
signed char guarded(Fn&& fn) {
    try {
        fn();
        return CTAPI_OK;
    } catch (const CtError& e) {
        return e.code;
    } catch (const std::bad_alloc&) {
        return CTAPI_ERR_MEMORY;
    } catch (...) {
        return CTAPI_ERR_CT;
    }
}

} // namespace
} // namespace vexa::ctapi

using namespace vexa::ctapi;

signed char CT_init(unsigned short ctn, unsigned short pn) {
    return guarded([&] { registry().open(ctn, pn); });
}

signed char CT_data(unsigned short ctn, unsigned char* dad, unsigned char* sad, unsigned short lenc,
                    unsigned char* command, unsigned short* lenr, unsigned char* response) {
    if (dad == nullptr || sad == nullptr || command == nullptr || lenr == nullptr || response == nullptr || lenc == 0)
        return CTAPI_ERR_INVALID;
    if (*dad != kCard && *dad != kTerminal) return CTAPI_ERR_INVALID;
    return guarded([&] {
        const auto terminal = registry().find(ctn);
        const std::span<const std::uint8_t> bytes(command, lenc);
        Bytes answer;
        {
            std::lock_guard guard(terminal->lock());
            answer = *dad == kTerminal ? terminal->toTerminal(bytes) : terminal->toCard(bytes);
        }
        if (answer.size() > *lenr) throw CtError{CTAPI_ERR_MEMORY};
        std::copy(answer.begin(), answer.end(), response);
        *lenr = static_cast<unsigned short>(answer.size());
        std::swap(*dad, *sad); // the answer comes from where the command went
    });
}

signed char CT_close(unsigned short ctn) {
    return guarded([&] { registry().close(ctn); });
}
