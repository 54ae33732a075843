#include "ctapi/ctapi_pcsc_session.h"

#include <cstdlib>
#include <utility>

#include "ctapi/ct_api.h"
#include "ctapi/ct_error.h"
#include "pcsc/pcsc_call.h"

namespace vexa::ctapi {
namespace {

// The reader a port stands for among the names: named in the environment,
// else by position.
std::string readerForPort(const std::vector<std::string>& names, unsigned short port) {
    const std::string variable = "VEXA_CTAPI_READER_" + std::to_string(port);
    if (const char* named = std::getenv(variable.c_str())) {
        for (const auto& name : names)
            if (name == named) return name;
        return {};
    }
    return port >= 1 && port <= names.size() ? names[port - 1u] : std::string();
}

} // namespace

PcscSession PcscSession::open(unsigned short port) {
    pcsc::ServiceContext context;
    std::vector<std::string> names;
    const std::int32_t result = context.run([&](const pcsc::Context& c) { return c.listReaders(names); });
    if (!context.valid()) throw CtError{CTAPI_ERR_HTSI};
    std::string reader = result == 0 ? readerForPort(names, port) : std::string();
    if (reader.empty()) throw CtError{CTAPI_ERR_CT};
    return PcscSession(std::move(context), std::move(reader));
}

PcscSession::~PcscSession() {
    powerDown(SCARD_UNPOWER_CARD);
}

bool PcscSession::lookAtReader(SCARD_READERSTATE& state, DWORD timeoutMs) {
    return context_.run([&](const pcsc::Context& context) {
        return context.statusChange(timeoutMs, {&state, 1});
    }) == 0;
}

bool PcscSession::holdsCard() {
    if (!context_.holds(card_)) card_.forget();
    return card_.valid();
}

bool PcscSession::cardInReader() {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (!lookAtReader(state, 0)) return false;
    return (state.dwEventState & SCARD_STATE_PRESENT) != 0;
}

bool PcscSession::waitForCard(unsigned seconds) {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    DWORD timeout = 0;
    for (;;) {
        if (!lookAtReader(state, timeout)) return false;
        if ((state.dwEventState & SCARD_STATE_PRESENT) != 0) return true;
        if (timeout != 0 || seconds == 0) return false;
        // Once more, this time waiting for the reader's next change.
        state.dwCurrentState = state.dwEventState;
        timeout = seconds * 1000u;
    }
}

std::int32_t PcscSession::powerUp(std::vector<std::uint8_t>& atr) {
    constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    std::int32_t result = 0;
    if (!holdsCard())
        result = context_.run([&](const pcsc::Context& context) {
            return card_.connect(context, reader_, SCARD_SHARE_EXCLUSIVE, kProtocols, protocol_);
        });
    // Always a reset: a card another application left powered keeps its
    // state, and pcscd its old ATR, until then.
    if (result == 0) result = card_.reconnect(SCARD_SHARE_EXCLUSIVE, kProtocols, SCARD_RESET_CARD, protocol_);
    pcsc::Card::Status status;
    if (result == 0) result = card_.status(status);
    if (result != 0) {
        powerDown(SCARD_LEAVE_CARD);
        return result;
    }
    const auto bytes = status.atr();
    atr.assign(bytes.begin(), bytes.end());
    return 0;
}

bool PcscSession::cardActive() {
    if (!holdsCard()) return false;
    pcsc::Card::Status status;
    if (card_.status(status) == 0 && status.state != SCARD_ABSENT) return true;
    powerDown(SCARD_LEAVE_CARD); // the card went away: its handle is of no more use
    return false;
}

void PcscSession::powerDown(DWORD disposition) {
    if (holdsCard() && pcsc::serviceGone(card_.disconnect(disposition))) context_.drop();
}

std::int32_t PcscSession::transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& answer) {
    if (!holdsCard()) return pcsc::code(SCARD_E_NO_SMARTCARD);
    answer.resize(MAX_BUFFER_SIZE_EXTENDED);
    DWORD length = 0;
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    const std::int32_t result = card_.transmit(pci, command, nullptr, answer, length);
    answer.resize(result == 0 ? length : 0);
    // The service took the card's handle along: the next call makes a new
    // context, and the card must be powered up again, as after a removal.
    if (pcsc::serviceGone(result)) {
        card_.forget();
        context_.drop();
    }
    return result;
}

} // namespace vexa::ctapi
