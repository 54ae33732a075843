#include "testbed/pcsc_tools.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "cardaccess/card_error.h"
#include "cardaccess/pcsc_call.h"
#include "cardaccess/pcsc_card.h"
#include "cardaccess/pcsc_context.h"
#include "support/tov_exception.h"

namespace vexa::testbed {

std::vector<std::string> listReaders() {
    return PcscContext::establish().listReaders();
}

bool waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
    PcscContext context = PcscContext::establish();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const LONG result = SCardGetStatusChange(context.get(), left.count() > 0 ? left.count() : 0, &state, 1);
        if (result == SCARD_S_SUCCESS) {
            const bool hasCard = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (hasCard == present) return true;
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (result != static_cast<LONG>(SCARD_E_TIMEOUT)) {
            checkPcsc(result, "SCardGetStatusChange () unsuccessful");
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

int holdCard(const std::string& reader) {
    PcscContext context = PcscContext::establish();
    std::uint32_t protocol = 0;
    PcscCard card = PcscCard::connect(context.get(), reader, SCARD_SHARE_EXCLUSIVE,
                                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, protocol);
    std::cout << "held" << std::endl;
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return card.disconnect(SCARD_LEAVE_CARD) == 0 ? 0 : 1;
}

} // namespace vexa::testbed
