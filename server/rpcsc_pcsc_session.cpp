#include "server/rpcsc_pcsc_session.h"

#include <PCSC/pcsclite.h>
#include <PCSC/reader.h>

#include <algorithm>
#include <vector>

namespace vexa::rpcsc {
namespace {

using namespace wire;

// pcsc-lite's LONG is 64 bits wide; the wire carries the 32-bit code.
std::uint32_t code(LONG result) {
    return static_cast<std::uint32_t>(result);
}

// Room left for an answer's data in one message.
constexpr std::uint32_t kMaxAnswer = kMaxMessage - 128;

} // namespace

const PcscSession::Handler PcscSession::handlers[] = {
    nullptr,
    &PcscSession::establishContext,
    &PcscSession::releaseContext,
    &PcscSession::listReaders,
    &PcscSession::connect,
    &PcscSession::disconnect,
    &PcscSession::status,
    &PcscSession::control,
    &PcscSession::transmit,
    &PcscSession::beginTransaction,
    &PcscSession::endTransaction,
    &PcscSession::getStatusChange,
};

PcscSession::~PcscSession() {
    for (const auto& [wireValue, card] : cards_) SCardDisconnect(card, SCARD_RESET_CARD);
    for (const auto& [wireValue, context] : contexts_) SCardReleaseContext(context);
}

Writer PcscSession::failure(std::uint8_t op, std::int32_t result) {
    Writer answer(op);
    answer.putInt(TAG_RESULT, static_cast<std::uint32_t>(result));
    return answer;
}

Writer PcscSession::handle(const Request& request) {
    if (request.op == 0 || request.op > kLastOp) return failure(request.op, code(SCARD_E_UNSUPPORTED_FEATURE));
    return (this->*handlers[request.op])(request);
}

Writer PcscSession::establishContext(const Request& r) {
    if (contexts_.size() >= kMaxContexts) return failure(r.op, code(SCARD_E_NO_MEMORY));
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(r.scope, nullptr, nullptr, &context);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result == SCARD_S_SUCCESS) {
        const auto wireValue = static_cast<std::uint64_t>(context);
        contexts_[wireValue] = context;
        answer.putHandle(TAG_CONTEXT, wireValue);
    }
    return answer;
}

Writer PcscSession::releaseContext(const Request& r) {
    if (!ownsContext(r.context)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const LONG result = SCardReleaseContext(contexts_[r.context]);
    contexts_.erase(r.context);
    // pcsc-lite ends the context's card handles with it.
    std::erase_if(cardContext_, [&](const auto& entry) {
        if (entry.second != r.context) return false;
        cards_.erase(entry.first);
        return true;
    });
    return failure(r.op, code(result));
}

Writer PcscSession::listReaders(const Request& r) {
    if (!ownsContext(r.context)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const SCARDCONTEXT context = contexts_[r.context];
    const char* groups = r.groups.empty() ? nullptr : r.groups.c_str();
    DWORD length = 0;
    LONG result = SCardListReaders(context, groups, nullptr, &length);
    std::string names(length, '\0');
    if (result == SCARD_S_SUCCESS) result = SCardListReaders(context, groups, names.data(), &length);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result != SCARD_S_SUCCESS) return answer;
    names.resize(std::min<std::size_t>(length, names.size()));
    for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
        const std::size_t end = std::min(names.find('\0', at), names.size());
        answer.putText(TAG_READER_LISTED, std::string_view(names).substr(at, end - at));
        at = end + 1;
    }
    return answer;
}

Writer PcscSession::connect(const Request& r) {
    if (!ownsContext(r.context)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    SCARDHANDLE card = 0;
    DWORD active = 0;
    const LONG result = SCardConnect(contexts_[r.context], r.reader.c_str(), r.shareMode, r.protocols, &card, &active);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result == SCARD_S_SUCCESS) {
        const auto wireValue = static_cast<std::uint64_t>(card);
        cards_[wireValue] = card;
        cardContext_[wireValue] = r.context;
        answer.putHandle(TAG_CARD, wireValue).putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(active));
    }
    return answer;
}

Writer PcscSession::disconnect(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const LONG result = SCardDisconnect(cards_[r.card], r.disposition);
    // Also after a failure: the handle is of no further use.
    cards_.erase(r.card);
    cardContext_.erase(r.card);
    return failure(r.op, code(result));
}

Writer PcscSession::status(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    char name[MAX_READERNAME + 1] = {};
    DWORD nameLength = sizeof name - 1;
    DWORD state = 0, protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    const LONG result = SCardStatus(cards_[r.card], name, &nameLength, &state, &protocol, atr, &atrLength);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result != SCARD_S_SUCCESS) return answer;
    answer.putText(TAG_READER, name)
        .putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(protocol))
        .putInt(TAG_STATE, static_cast<std::uint32_t>(state))
        .putBytes(TAG_ATR, {atr, std::min<std::size_t>(atrLength, sizeof atr)});
    return answer;
}

Writer PcscSession::control(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    std::vector<std::uint8_t> out(std::min(r.maxOutput, kMaxAnswer));
    DWORD received = 0;
    const DWORD controlCode = r.raw ? r.controlCode : SCARD_CTL_CODE(r.controlCode);
    const auto in = r.input.bytes();
    const LONG result = SCardControl(cards_[r.card], controlCode, in.empty() ? nullptr : in.data(), in.size(),
                                     out.data(), out.size(), &received);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result == SCARD_S_SUCCESS)
        answer.putBytes(TAG_OUTPUT, std::span(out).first(std::min<std::size_t>(received, out.size())));
    return answer;
}

Writer PcscSession::transmit(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    std::vector<std::uint8_t> out(std::min(r.maxOutput, kMaxAnswer));
    DWORD received = out.size();
    const SCARD_IO_REQUEST sendPci{r.protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{r.protocol, sizeof(SCARD_IO_REQUEST)};
    const auto in = r.input.bytes();
    const LONG result =
        SCardTransmit(cards_[r.card], &sendPci, in.data(), in.size(), &receivePci, out.data(), &received);
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    if (result == SCARD_S_SUCCESS)
        answer.putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(receivePci.dwProtocol))
            .putBytes(TAG_OUTPUT, std::span(out).first(std::min<std::size_t>(received, out.size())));
    return answer;
}

Writer PcscSession::beginTransaction(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    return failure(r.op, code(SCardBeginTransaction(cards_[r.card])));
}

Writer PcscSession::endTransaction(const Request& r) {
    if (!ownsCard(r.card)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    return failure(r.op, code(SCardEndTransaction(cards_[r.card], r.disposition)));
}

Writer PcscSession::getStatusChange(const Request& r) {
    if (!ownsContext(r.context)) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    std::vector<SCARD_READERSTATE> states(r.states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i].szReader = r.states[i].reader.c_str();
        states[i].dwCurrentState = r.states[i].current;
        states[i].dwEventState = r.states[i].event;
    }
    const LONG result = SCardGetStatusChange(contexts_[r.context], std::min(r.timeoutMs, kMaxWaitMs), states.data(),
                                             static_cast<DWORD>(states.size()));
    Writer answer(r.op);
    answer.putInt(TAG_RESULT, code(result));
    for (const SCARD_READERSTATE& s : states) {
        Writer nested;
        nested.putInt(TAG_CURRENT_STATE, static_cast<std::uint32_t>(s.dwCurrentState))
            .putInt(TAG_EVENT_STATE, static_cast<std::uint32_t>(s.dwEventState))
            .putBytes(TAG_STATE_ATR, {s.rgbAtr, std::min<std::size_t>(s.cbAtr, sizeof s.rgbAtr)});
        answer.putNested(TAG_READER_STATE, nested);
    }
    return answer;
}

} // namespace vexa::rpcsc
