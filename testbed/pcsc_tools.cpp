#include "testbed/pcsc_tools.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cardaccess/pcsc_failure.h"
#include "pcsc/card.h"
#include "pcsc/context.h"
#include "pcsc/pcsc_call.h"

namespace vexa::testbed {

std::string joinTestbed() {
    const char* dir = std::getenv("VEXA_TESTBED_DIR");
    if (!dir || !*dir) return "";
    const std::filesystem::path bed = std::filesystem::absolute(dir);
    setenv("PCSCLITE_CSOCK_NAME", (bed / "run" / "pcscd" / "pcscd.comm").c_str(), 0);
    return bed.string();
}

std::vector<std::string> listReaders() {
    return pcscChecked([] { return pcsc::Context::open().readers(); });
}

bool waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    const pcsc::Context context = pcscChecked([] { return pcsc::Context::open(); });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const std::int32_t result = context.statusChange(left.count() > 0 ? left.count() : 0, {&state, 1});
        if (result == 0) {
            const bool hasCard = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (hasCard == present) return true;
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (result != pcsc::code(SCARD_E_TIMEOUT)) {
            throw pcscFailure(CallError(result, "SCardGetStatusChange"));
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

int holdCard(const std::string& reader) {
    const pcsc::Context context = pcscChecked([] { return pcsc::Context::open(); });
    DWORD protocol = 0;
    pcsc::Card card = pcscChecked([&] {
        return pcsc::Card::open(context, reader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                protocol);
    });
    std::cout << "held" << std::endl;
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return card.disconnect(SCARD_LEAVE_CARD) == 0 ? 0 : 1;
}

} // namespace vexa::testbed
