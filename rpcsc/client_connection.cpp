#include "rpcsc/client_connection.h"

#include "pcsc/pcsc_api.h"

#include <algorithm>
#include <cstring>

#include "pcsc/pcsc_call.h"
#include "pcsc/service_context.h"
#include "rpcsc/client_error.h"
#include "rpcsc/winsock_error.h"

namespace vexa::rpcsc {
namespace {

using namespace wire;

const std::int32_t kTimeoutCode = pcsc::code(SCARD_E_TIMEOUT);

std::span<const std::uint8_t> bytesOf(const Reader& answer, std::uint8_t tag) {
    const Element* e = answer.find(tag);
    return e ? e->value.bytes() : std::span<const std::uint8_t>();
}

std::int32_t resultOf(const Reader& answer, std::int32_t absent = 0) {
    return static_cast<std::int32_t>(answer.intOr(TAG_RESULT, static_cast<std::uint32_t>(absent)));
}

// One caller state from an answered nested reader state; false for an ATR
// that does not fit the state's buffer.
bool takeState(const Element& nested, SCARD_READERSTATE& state) {
    Reader inner;
    if (inner.parse(nested.value.bytes()) != ParseError::none) return false;
    const auto atr = bytesOf(inner, TAG_STATE_ATR);
    if (atr.size() > sizeof state.rgbAtr || atr.size() > kMaxAtr) return false;
    state.dwCurrentState = inner.intOr(TAG_CURRENT_STATE, 0);
    state.dwEventState = inner.intOr(TAG_EVENT_STATE, 0);
    std::memset(state.rgbAtr, 0, sizeof state.rgbAtr);
    std::copy(atr.begin(), atr.end(), state.rgbAtr);
    state.cbAtr = static_cast<DWORD>(atr.size());
    return true;
}

} // namespace

std::int32_t ClientConnection::open(std::string_view host, std::uint16_t port, std::string server) {
    close();
    // A context lives with the connection it was established on.
    context_ = 0;
    tcp_.setTimeout(kTimeoutMs);
    const std::int32_t result = tcp_.connect(host, port);
    if (result == 0) server_ = std::move(server);
    return result;
}

std::int32_t ClientConnection::close() {
    if (server_.empty()) return 0;
    server_.clear();
    return tcp_.close();
}

std::int32_t ClientConnection::exchange(const Writer& request, Reader& answer, std::int32_t waitMs) {
    if (!request.ok()) return kInternalError;
    if (server_.empty()) return kNotConnected;
    SecureString line;
    std::int32_t result = tcp_.sendLine(request.line(), false);
    if (result == 0) result = tcp_.receiveLine(line, waitMs);
    if (result == 0 && answer.parseLine(line) != ParseError::none) result = kBadAnswer;
    // After a lost or garbled answer the stream is out of step: a late
    // answer must not be taken for the next request's.
    if (result != 0) close();
    return result;
}

std::int32_t ClientConnection::call(const Writer& request, std::uint8_t op, Reader& answer, bool onCard) {
    const std::int32_t result = exchange(request, answer, onCard ? kCardWaitMs : kTimeoutMs);
    if (onCard && result == WSAEWOULDBLOCK) return kTimeoutCode;
    if (result != 0) return result;
    return answer.operation() == op ? 0 : kInternalError;
}

std::int32_t ClientConnection::callForResult(const Writer& request, std::uint8_t op, Reader& answer, bool onCard) {
    const std::int32_t result = call(request, op, answer, onCard);
    return result != 0 ? result : resultOf(answer);
}

template <typename Call>
std::int32_t ClientConnection::onContext(Call&& call) {
    const std::int32_t result = call();
    if (!renewContexts_ || !pcsc::serviceGone(result) || context_ == 0) return result;
    if (const std::int32_t made = establishContext(scope_); made != 0) return made;
    return call();
}

std::int32_t ClientConnection::establishContext(std::uint32_t scope) {
    releaseContext();
    scope_ = scope;
    Writer request(OP_ESTABLISH_CONTEXT);
    request.putInt(TAG_SCOPE, scope);
    Reader answer;
    const std::int32_t result = call(request, OP_ESTABLISH_CONTEXT, answer);
    if (result != 0) return result;
    context_ = answer.handleOr(TAG_CONTEXT, 0);
    return resultOf(answer);
}

std::int32_t ClientConnection::releaseContext() {
    if (context_ == 0) return 0;
    Writer request(OP_RELEASE_CONTEXT);
    request.putHandle(TAG_CONTEXT, context_);
    context_ = 0;
    Reader answer;
    return callForResult(request, OP_RELEASE_CONTEXT, answer);
}

std::int32_t ClientConnection::listReaders(std::string_view groups, std::vector<std::string>& readers) {
    return onContext([&] {
        Writer request(OP_LIST_READERS);
        request.putHandle(TAG_CONTEXT, context_).putText(TAG_GROUPS, groups);
        Reader answer;
        const std::int32_t result = call(request, OP_LIST_READERS, answer);
        if (result != 0) return result;
        for (const Element& e : answer.elements())
            if (e.tag == TAG_READER_LISTED) readers.push_back(e.asText());
        return resultOf(answer);
    });
}

std::int32_t ClientConnection::connect(std::string_view reader, std::uint32_t shareMode, std::uint32_t protocols,
                                       std::uint32_t& activeProtocol) {
    return onContext([&] {
        Writer request(OP_CONNECT);
        request.putHandle(TAG_CONTEXT, context_)
            .putText(TAG_READER, reader)
            .putInt(TAG_SHARE_MODE, shareMode)
            .putInt(TAG_PROTOCOLS, protocols);
        Reader answer;
        const std::int32_t result = call(request, OP_CONNECT, answer, true);
        if (result != 0) return result;
        card_ = answer.handleOr(TAG_CARD, 0);
        activeProtocol = answer.intOr(TAG_PROTOCOL, 0);
        return resultOf(answer);
    });
}

std::int32_t ClientConnection::disconnect(std::uint32_t disposition) {
    if (card_ == 0) return 0;
    Writer request(OP_DISCONNECT);
    request.putHandle(TAG_CARD, card_).putInt(TAG_DISPOSITION, disposition);
    Reader answer;
    std::int32_t result = callForResult(request, OP_DISCONNECT, answer, true);
    const std::int32_t released = releaseContext();
    if (result == 0) result = released;
    card_ = 0;
    const std::int32_t closed = close();
    return result != 0 ? result : closed;
}

std::int32_t ClientConnection::status(std::string& reader, std::uint32_t& state, std::uint32_t& protocol,
                                      ByteBuffer& atr) {
    Writer request(OP_STATUS);
    request.putHandle(TAG_CARD, card_);
    Reader answer;
    const std::int32_t result = callForResult(request, OP_STATUS, answer, true);
    reader = answer.textOr(TAG_READER);
    state = answer.intOr(TAG_STATE, 0);
    protocol = answer.intOr(TAG_PROTOCOL, 0);
    atr.assign(bytesOf(answer, TAG_ATR));
    return result;
}

std::int32_t ClientConnection::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
                                        ByteBuffer& answerBytes, std::uint32_t maxAnswer,
                                        std::uint32_t& receiveProtocol) {
    Writer request(OP_TRANSMIT);
    request.putHandle(TAG_CARD, card_)
        .putInt(TAG_PROTOCOL, protocol)
        .putBytes(TAG_INPUT, command)
        .putInt(TAG_MAX_OUTPUT, maxAnswer);
    Reader answer;
    const std::int32_t result = callForResult(request, OP_TRANSMIT, answer, true);
    receiveProtocol = answer.intOr(TAG_PROTOCOL, 0);
    answerBytes.assign(bytesOf(answer, TAG_OUTPUT));
    return result;
}

std::int32_t ClientConnection::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
                                       ByteBuffer& answerBytes, std::uint32_t maxAnswer) {
    Writer request(OP_CONTROL);
    request.putHandle(TAG_CARD, card_)
        .putInt(TAG_RAW, raw ? 1 : 0)
        .putInt(TAG_CONTROL_CODE, code)
        .putBytes(TAG_INPUT, input)
        .putInt(TAG_MAX_OUTPUT, maxAnswer);
    Reader answer;
    const std::int32_t result = callForResult(request, OP_CONTROL, answer, true);
    answerBytes.assign(bytesOf(answer, TAG_OUTPUT));
    return result;
}

std::int32_t ClientConnection::beginTransaction() {
    Writer request(OP_BEGIN_TRANSACTION);
    request.putHandle(TAG_CARD, card_);
    Reader answer;
    return callForResult(request, OP_BEGIN_TRANSACTION, answer, true);
}

std::int32_t ClientConnection::endTransaction(std::uint32_t disposition) {
    Writer request(OP_END_TRANSACTION);
    request.putHandle(TAG_CARD, card_).putInt(TAG_DISPOSITION, disposition);
    Reader answer;
    return callForResult(request, OP_END_TRANSACTION, answer, true);
}

std::int32_t ClientConnection::getStatusChange(std::uint32_t timeoutMs, std::span<const std::string> readers,
                                               std::span<SCARD_READERSTATE> states) {
    return onContext([&] { return statusChangeOnce(timeoutMs, readers, states); });
}

std::int32_t ClientConnection::statusChangeOnce(std::uint32_t timeoutMs, std::span<const std::string> readers,
                                                std::span<SCARD_READERSTATE> states) {
    Writer request(OP_GET_STATUS_CHANGE);
    request.putInt(TAG_TIMEOUT, timeoutMs);
    for (std::size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATE& s = states[i];
        Writer nested;
        nested.putText(TAG_STATE_READER, readers[i])
            .putInt(TAG_CURRENT_STATE, static_cast<std::uint32_t>(s.dwCurrentState))
            .putInt(TAG_EVENT_STATE, static_cast<std::uint32_t>(s.dwEventState))
            .putBytes(TAG_STATE_ATR, {s.rgbAtr, std::min<std::size_t>(s.cbAtr, sizeof s.rgbAtr)});
        request.putNested(TAG_READER_STATE, nested);
    }
    request.putInt(TAG_STATE_COUNT, static_cast<std::uint32_t>(states.size())).putHandle(TAG_CONTEXT, context_);

    Reader answer;
    std::int32_t result = call(request, OP_GET_STATUS_CHANGE, answer);
    if (result != 0) return result;
    result = resultOf(answer, kTimeoutCode);
    if (result != 0 && result != kTimeoutCode) return result;
    // Answers fill the states in order, neither more nor fewer.
    std::size_t answered = 0;
    for (const Element& e : answer.elements()) {
        if (e.tag != TAG_READER_STATE) continue;
        if (answered >= states.size() || !takeState(e, states[answered])) return kInternalError;
        ++answered;
    }
    return answered == states.size() ? result : kInternalError;
}

} // namespace vexa::rpcsc
