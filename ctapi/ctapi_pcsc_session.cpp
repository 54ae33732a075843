#include "ctapi/ctapi_pcsc_session.h"

#include <PCSC/pcsclite.h>

#include <cstdlib>
#include <utility>

#include "ctapi/ct_api.h"
#include "ctapi/ct_error.h"

namespace vexa::ctapi {
namespace {

std::vector<std::string> readerNames(SCARDCONTEXT context) {
    DWORD length = 0;
    if (SCardListReaders(context, nullptr, nullptr, &length) != SCARD_S_SUCCESS) return {};
    std::string buffer(length, '\0');
    if (SCardListReaders(context, nullptr, buffer.data(), &length) != SCARD_S_SUCCESS) return {};
    std::vector<std::string> names;
    for (std::size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
        names.emplace_back(buffer.c_str() + at);
        at += names.back().size() + 1;
    }
    return names;
}

// The reader a port stands for: named in the environment, else by position.
std::string readerForPort(SCARDCONTEXT context, unsigned short port) {
    const std::vector<std::string> names = readerNames(context);
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
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        throw CtError{CTAPI_ERR_HTSI};
    PcscSession session(context, readerForPort(context, port));
    if (session.reader_.empty()) throw CtError{CTAPI_ERR_CT};
    return session;
}

PcscSession::PcscSession(PcscSession&& other) noexcept
    : context_(other.context_),
      hasContext_(std::exchange(other.hasContext_, false)),
      reader_(std::move(other.reader_)),
      card_(other.card_),
      hasCard_(std::exchange(other.hasCard_, false)),
      protocol_(other.protocol_) {}

PcscSession::~PcscSession() {
    powerDown(SCARD_UNPOWER_CARD);
    if (hasContext_) SCardReleaseContext(context_);
}

bool PcscSession::cardInReader() {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context_, 0, &state, 1) != SCARD_S_SUCCESS) return false;
    return (state.dwEventState & SCARD_STATE_PRESENT) != 0;
}

bool PcscSession::waitForCard(unsigned seconds) {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    DWORD timeout = 0;
    for (;;) {
        if (SCardGetStatusChange(context_, timeout, &state, 1) != SCARD_S_SUCCESS) return false;
        if ((state.dwEventState & SCARD_STATE_PRESENT) != 0) return true;
        if (timeout != 0 || seconds == 0) return false;
        // Once more, this time waiting for the reader's next change.
        state.dwCurrentState = state.dwEventState;
        timeout = seconds * 1000u;
    }
}

LONG PcscSession::powerUp(std::vector<std::uint8_t>& atr) {
    LONG result = SCARD_S_SUCCESS;
    if (!hasCard_) {
        result = SCardConnect(context_, reader_.c_str(), SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                              &card_, &protocol_);
        hasCard_ = result == SCARD_S_SUCCESS;
    }
    // Always a reset: a card another application left powered keeps its
    // state, and pcscd its old ATR, until then.
    if (result == SCARD_S_SUCCESS)
        result = SCardReconnect(card_, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_RESET_CARD,
                                &protocol_);
    if (result != SCARD_S_SUCCESS) {
        powerDown(SCARD_LEAVE_CARD);
        return result;
    }
    BYTE bytes[MAX_ATR_SIZE];
    DWORD length = sizeof bytes, state = 0, protocol = 0, nameLength = 0;
    result = SCardStatus(card_, nullptr, &nameLength, &state, &protocol, bytes, &length);
    if (result != SCARD_S_SUCCESS) {
        powerDown(SCARD_LEAVE_CARD);
        return result;
    }
    atr.assign(bytes, bytes + std::min<DWORD>(length, sizeof bytes));
    return SCARD_S_SUCCESS;
}

bool PcscSession::cardActive() {
    if (!hasCard_) return false;
    BYTE atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr, state = 0, protocol = 0, nameLength = 0;
    const LONG result = SCardStatus(card_, nullptr, &nameLength, &state, &protocol, atr, &length);
    if (result == SCARD_S_SUCCESS && state != SCARD_ABSENT) return true;
    powerDown(SCARD_LEAVE_CARD); // the card went away: its handle is of no more use
    return false;
}

void PcscSession::powerDown(DWORD disposition) {
    if (hasCard_) SCardDisconnect(card_, disposition);
    hasCard_ = false;
    card_ = 0;
}

LONG PcscSession::transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>& answer) {
    if (!hasCard_) return SCARD_E_NO_SMARTCARD;
    answer.resize(MAX_BUFFER_SIZE_EXTENDED);
    DWORD length = answer.size();
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    const LONG result = SCardTransmit(card_, pci, command.data(), command.size(), nullptr, answer.data(), &length);
    answer.resize(result == SCARD_S_SUCCESS ? length : 0);
    return result;
}

} // namespace vexa::ctapi
