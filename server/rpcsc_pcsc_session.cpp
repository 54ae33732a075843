#include "server/rpcsc_pcsc_session.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <vector>

#include "pcsc/notification_reader.h"
#include "pcsc/pcsc_call.h"
#include "platform/system.h"

namespace vexa::rpcsc {
namespace {

using namespace wire;

using pcsc::code;

// Room left for an answer's data in one message.
constexpr std::uint32_t kMaxAnswer = kMaxMessage - 128;

std::uint32_t wireCardState(DWORD state) {
    const auto value = static_cast<std::uint32_t>(state);
    return platform::kWindows ? wire::cardStateFromNumber(value) : value;
}

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

pcsc::Context* PcscSession::ownContext(std::uint64_t wireValue) {
    const auto found = contexts_.find(wireValue);
    return found == contexts_.end() ? nullptr : &found->second;
}

PcscSession::OwnedCard* PcscSession::ownCard(std::uint64_t wireValue) {
    const auto found = cards_.find(wireValue);
    return found == cards_.end() ? nullptr : &found->second;
}

bool PcscSession::queryable(std::string_view reader) const {
    return reader == pcsc::kNotificationReader || grant_.admits(reader);
}

bool PcscSession::holdsTransaction() const {
    return std::any_of(cards_.begin(), cards_.end(), [](const auto& entry) { return entry.second.transaction; });
}

std::int32_t PcscSession::endTransactionsWithReset() {
    std::int32_t first = 0;
    for (auto& [wireValue, owned] : cards_) {
        if (!owned.transaction) continue;
        owned.transaction = false;
        const std::int32_t result = owned.card.endTransaction(SCARD_RESET_CARD);
        if (first == 0) first = result;
    }
    return first;
}

void PcscSession::cancelWaits() {
    cancelled_ = true;
    const std::lock_guard guard(contextsLock_);
    for (const auto& [wireValue, context] : contexts_) context.cancel();
}

Writer PcscSession::failure(std::uint8_t op, std::int32_t result) {
    return resultAnswer(op, result);
}

Writer PcscSession::handle(const Request& request) {
    if (request.op == 0 || request.op > kLastOp) return failure(request.op, code(SCARD_E_UNSUPPORTED_FEATURE));
    return (this->*handlers[request.op])(request);
}

Writer PcscSession::establishContext(const Request& r) {
    if (contexts_.size() >= kMaxContexts) return failure(r.op, code(SCARD_E_NO_MEMORY));
    pcsc::Context context;
    const std::int32_t result = context.establish(r.scope);
    Writer answer = resultAnswer(r.op, result);
    if (result == 0) {
        const auto wireValue = static_cast<std::uint64_t>(context.get());
        const std::lock_guard guard(contextsLock_);
        contexts_.emplace(wireValue, std::move(context));
        answer.putHandle(TAG_CONTEXT, wireValue);
    }
    return answer;
}

Writer PcscSession::releaseContext(const Request& r) {
    pcsc::Context* context = ownContext(r.context);
    if (!context) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    std::int32_t result = 0;
    {
        const std::lock_guard guard(contextsLock_);
        result = context->release();
        contexts_.erase(r.context);
    }
    // pcsc-lite ends the context's card handles with it.
    for (auto entry = cards_.begin(); entry != cards_.end();) {
        if (entry->second.context != r.context) {
            ++entry;
            continue;
        }
        entry->second.card.forget();
        entry = cards_.erase(entry);
    }
    return failure(r.op, result);
}

Writer PcscSession::listReaders(const Request& r) {
    const pcsc::Context* context = ownContext(r.context);
    if (!context) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    std::vector<std::string> names;
    std::int32_t result = context->listReaders(names, r.groups.empty() ? nullptr : r.groups.c_str());
    if (!grant_.allReaders()) {
        std::erase_if(names, [&](const std::string& name) { return !grant_.admits(name); });
        // As PC/SC answers when there is no reader at all.
        if (result == 0 && names.empty()) result = code(SCARD_E_NO_READERS_AVAILABLE);
    }
    Writer answer = resultAnswer(r.op, result);
    for (const std::string& name : names) answer.putText(TAG_READER_LISTED, name);
    return answer;
}

Writer PcscSession::connect(const Request& r) {
    const pcsc::Context* context = ownContext(r.context);
    if (!context) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    if (!grant_.admits(r.reader)) return failure(r.op, code(SCARD_E_UNKNOWN_READER));
    pcsc::Card card;
    DWORD active = 0;
    const std::int32_t result = card.connect(*context, r.reader, r.shareMode, r.protocols, active);
    Writer answer = resultAnswer(r.op, result);
    if (result == 0) {
        const auto wireValue = static_cast<std::uint64_t>(card.get());
        cards_.emplace(wireValue, OwnedCard{std::move(card), r.context});
        answer.putHandle(TAG_CARD, wireValue).putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(active));
    }
    return answer;
}

Writer PcscSession::disconnect(const Request& r) {
    OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const std::int32_t result = owned->card.disconnect(r.disposition);
    // Also after a failure: the handle is of no further use.
    cards_.erase(r.card);
    return failure(r.op, result);
}

Writer PcscSession::status(const Request& r) {
    const OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const pcsc::Card& card = owned->card;
    pcsc::Card::Status status;
    const std::int32_t result = card.status(status, true);
    Writer answer = resultAnswer(r.op, result);
    if (result != 0) return answer;
    answer.putText(TAG_READER, status.reader)
        .putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(status.protocol))
        .putInt(TAG_STATE, wireCardState(status.state))
        .putBytes(TAG_ATR, status.atr());
    return answer;
}

Writer PcscSession::control(const Request& r) {
    const OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const pcsc::Card& card = owned->card;
    std::vector<std::uint8_t> out(std::min(r.maxOutput, kMaxAnswer));
    DWORD received = 0;
    const DWORD controlCode = r.raw ? r.controlCode : SCARD_CTL_CODE(r.controlCode);
    const std::int32_t result = card.control(controlCode, r.input.bytes(), out, received);
    Writer answer = resultAnswer(r.op, result);
    if (result == 0) answer.putBytes(TAG_OUTPUT, std::span(out).first(std::min<std::size_t>(received, out.size())));
    return answer;
}

Writer PcscSession::transmit(const Request& r) {
    const OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const pcsc::Card& card = owned->card;
    std::vector<std::uint8_t> out(std::min(r.maxOutput, kMaxAnswer));
    DWORD received = 0;
    const SCARD_IO_REQUEST sendPci{r.protocol, sizeof(SCARD_IO_REQUEST)};
    SCARD_IO_REQUEST receivePci{r.protocol, sizeof(SCARD_IO_REQUEST)};
    const std::int32_t result = card.transmit(&sendPci, r.input.bytes(), &receivePci, out, received);
    Writer answer = resultAnswer(r.op, result);
    if (result == 0)
        answer.putInt(TAG_PROTOCOL, static_cast<std::uint32_t>(receivePci.dwProtocol))
            .putBytes(TAG_OUTPUT, std::span(out).first(std::min<std::size_t>(received, out.size())));
    return answer;
}

Writer PcscSession::beginTransaction(const Request& r) {
    OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const std::int32_t result = owned->card.beginTransaction();
    if (result == 0) owned->transaction = true;
    return failure(r.op, result);
}

Writer PcscSession::endTransaction(const Request& r) {
    OwnedCard* owned = ownCard(r.card);
    if (!owned) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    const std::int32_t result = owned->card.endTransaction(r.disposition);
    // A failed end may leave the lock held: the idle end tries once more.
    if (result == 0) owned->transaction = false;
    return failure(r.op, result);
}

Writer PcscSession::getStatusChange(const Request& r) {
    const pcsc::Context* context = ownContext(r.context);
    if (!context) return failure(r.op, code(SCARD_E_INVALID_HANDLE));
    if (!std::all_of(r.states.begin(), r.states.end(), [&](const auto& s) { return queryable(s.reader); }))
        return failure(r.op, code(SCARD_E_UNKNOWN_READER));
    std::vector<SCARD_READERSTATE> states(r.states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        states[i].szReader = r.states[i].reader.c_str();
        states[i].dwCurrentState = r.states[i].current;
        states[i].dwEventState = r.states[i].event;
    }
    // SCardCancel reaches only a wait already begun: one that comes just
    // before a slice begins is seen at the latest when that slice ends.
    std::uint32_t remaining = std::min(r.timeoutMs, kMaxWaitMs);
    std::int32_t result = code(SCARD_E_CANCELLED);
    while (!cancelled_) {
        const std::uint32_t slice = std::min(remaining, kWaitSliceMs);
        result = context->statusChange(slice, states);
        remaining -= slice;
        if (result != code(SCARD_E_TIMEOUT) || remaining == 0) break;
    }
    Writer answer = resultAnswer(r.op, result);
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
