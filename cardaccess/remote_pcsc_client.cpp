#include "cardaccess/remote_pcsc_client.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <cstring>

#include "cardaccess/card_error.h"
#include "pcsc/pcsc_call.h"
#include "support/system_error_text.h"
#include "support/text.h"

namespace vexa {
namespace {

using namespace wire;

constexpr std::string_view kNotification = "\\\\?PnP?\\Notification";
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

RemotePcscClient::RemotePcscClient(const RemotePcscClient& other) : tcp_(other.tcp_), servers_(other.servers_) {}

RemotePcscClient::~RemotePcscClient() {
    closeAll();
}

bool RemotePcscClient::setServer(std::string_view list) {
    servers_.clear();
    while (!list.empty()) {
        const std::size_t blank = list.find(' ');
        const std::string_view entry = list.substr(0, blank);
        list.remove_prefix(blank == std::string_view::npos ? list.size() : blank + 1);
        if (entry.empty()) continue;
        const auto server = ServerAddress::parse(entry);
        if (!server) return false;
        servers_.push_back(*server);
    }
    return true;
}

std::string RemotePcscClient::serverText() const {
    std::string text;
    for (const ServerAddress& s : servers_) text += (text.empty() ? "" : " ") + s.text();
    return text;
}

std::string RemotePcscClient::errorText(std::int32_t code) {
    std::string text = remoteErrorText(code);
    return text.empty() ? systemErrorText(code) : text;
}

std::string RemotePcscClient::errorSuffix(std::int32_t code) {
    return connectionErrorSuffix(code);
}

std::int32_t RemotePcscClient::openConnection(const ServerAddress& server) {
    closeConnection();
    // A context lives with the connection it was established on.
    context_ = 0;
    tcp_.setTimeout(kTimeoutMs);
    const std::int32_t result = tcp_.connect(server.host(), static_cast<std::uint16_t>(server.port));
    if (result == 0) connectedServer_ = server.text();
    return result;
}

std::int32_t RemotePcscClient::closeConnection() {
    if (connectedServer_.empty()) return 0;
    connectedServer_.clear();
    return tcp_.close();
}

std::int32_t RemotePcscClient::exchange(const Writer& request, Reader& answer, std::int32_t waitMs) {
    if (!request.ok()) return ERR_INTERNAL;
    if (connectedServer_.empty()) return ERR_REMOTE_NOT_CONNECTED;
    std::string line;
    std::int32_t result = tcp_.sendLine(request.line(), false);
    if (result == 0) result = tcp_.receiveLine(line, waitMs);
    if (result == 0 && answer.parseLine(line) != ParseError::none) result = ERR_REMOTE_BAD_ANSWER;
    // After a lost or garbled answer the stream is out of step: a late
    // answer must not be taken for the next request's.
    if (result != 0) closeConnection();
    return result;
}

std::int32_t RemotePcscClient::call(const Writer& request, std::uint8_t op, Reader& answer, bool onCard) {
    const std::int32_t result = exchange(request, answer, onCard ? kCardWaitMs : kTimeoutMs);
    if (onCard && result == WSAEWOULDBLOCK) return kTimeoutCode;
    if (result != 0) return result;
    return answer.operation() == op ? 0 : ERR_INTERNAL;
}

std::int32_t RemotePcscClient::callForResult(const Writer& request, std::uint8_t op, Reader& answer, bool onCard) {
    const std::int32_t result = call(request, op, answer, onCard);
    return result != 0 ? result : resultOf(answer);
}

std::int32_t RemotePcscClient::establishContext(std::uint32_t scope) {
    releaseContext();
    Writer request(OP_ESTABLISH_CONTEXT);
    request.putInt(TAG_SCOPE, scope);
    Reader answer;
    const std::int32_t result = call(request, OP_ESTABLISH_CONTEXT, answer);
    if (result != 0) return result;
    context_ = answer.handleOr(TAG_CONTEXT, 0);
    return resultOf(answer);
}

std::int32_t RemotePcscClient::releaseContext() {
    if (context_ == 0) return 0;
    Writer request(OP_RELEASE_CONTEXT);
    request.putHandle(TAG_CONTEXT, context_);
    context_ = 0;
    Reader answer;
    return callForResult(request, OP_RELEASE_CONTEXT, answer);
}

std::int32_t RemotePcscClient::useServer(const ServerAddress& server, std::uint32_t scope) {
    // Reader names come from pages: only the configured servers may be
    // reached through them, never any other address or port.
    if (std::find(servers_.begin(), servers_.end(), server) == servers_.end()) return ERR_REMOTE_BAD_ADDRESS;
    std::int32_t result = 0;
    if (server.text() != connectedServer_) result = openConnection(server);
    if (result == 0) result = establishContext(scope);
    if (result == 0) return 0;
    // The connection may have gone stale since its last use: once more.
    result = openConnection(server);
    return result != 0 ? result : establishContext(scope);
}

std::int32_t RemotePcscClient::connect(std::uint32_t scope, std::string_view name, std::uint32_t shareMode,
                                       std::uint32_t protocols, std::uint32_t& activeProtocol,
                                       std::string& serverText) {
    activeProtocol = 0;
    serverText.clear();
    std::int32_t result = disconnect(SCARD_RESET_CARD);
    if (result != 0) return result;
    RemoteReaderName parts;
    result = RemoteReaderName::split(name, parts);
    if (result == 0) result = useServer(parts.server, scope);
    if (result != 0) {
        serverText = parts.serverPart;
        return result;
    }
    Writer request(OP_CONNECT);
    request.putHandle(TAG_CONTEXT, context_)
        .putText(TAG_READER, parts.reader)
        .putInt(TAG_SHARE_MODE, shareMode)
        .putInt(TAG_PROTOCOLS, protocols);
    Reader answer;
    result = call(request, OP_CONNECT, answer, true);
    if (result == 0) {
        card_ = answer.handleOr(TAG_CARD, 0);
        activeProtocol = answer.intOr(TAG_PROTOCOL, 0);
        result = resultOf(answer);
    }
    if (result != 0) disconnect(SCARD_RESET_CARD);
    return result;
}

std::int32_t RemotePcscClient::disconnect(std::uint32_t disposition) {
    if (card_ == 0) return 0;
    Writer request(OP_DISCONNECT);
    request.putHandle(TAG_CARD, card_).putInt(TAG_DISPOSITION, disposition);
    Reader answer;
    std::int32_t result = callForResult(request, OP_DISCONNECT, answer, true);
    const std::int32_t released = releaseContext();
    if (result == 0) result = released;
    card_ = 0;
    const std::int32_t closed = closeConnection();
    return result != 0 ? result : closed;
}

std::int32_t RemotePcscClient::status(std::string& reader, std::uint32_t& state, std::uint32_t& protocol,
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

std::int32_t RemotePcscClient::transmit(std::uint32_t protocol, std::span<const std::uint8_t> command,
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

std::int32_t RemotePcscClient::control(std::uint32_t code, bool raw, std::span<const std::uint8_t> input,
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

std::int32_t RemotePcscClient::beginTransaction() {
    Writer request(OP_BEGIN_TRANSACTION);
    request.putHandle(TAG_CARD, card_);
    Reader answer;
    return callForResult(request, OP_BEGIN_TRANSACTION, answer, true);
}

std::int32_t RemotePcscClient::endTransaction(std::uint32_t disposition) {
    Writer request(OP_END_TRANSACTION);
    request.putHandle(TAG_CARD, card_).putInt(TAG_DISPOSITION, disposition);
    Reader answer;
    return callForResult(request, OP_END_TRANSACTION, answer, true);
}

std::int32_t RemotePcscClient::listReaders(std::uint32_t scope, std::string_view groups, std::string& names,
                                           std::int32_t& count, std::string& unreachable, bool pnp) {
    RemotePcscClient copy(*this);
    count = 0;
    std::int32_t result = 0;
    for (const ServerAddress& server : servers_) {
        std::int32_t r = copy.openConnection(server);
        if (r != 0) {
            result = r;
            unreachable = server.text();
            continue;
        }
        r = copy.listServer(server, scope, groups, names, count, pnp);
        const std::int32_t closed = copy.closeConnection();
        result = r != 0 ? r : closed;
    }
    return count > 0 ? 0 : result;
}

std::int32_t RemotePcscClient::listServer(const ServerAddress& server, std::uint32_t scope, std::string_view groups,
                                          std::string& names, std::int32_t& count, bool pnp) {
    std::int32_t result = establishContext(scope);
    if (result == 0) {
        Writer request(OP_LIST_READERS);
        request.putHandle(TAG_CONTEXT, context_).putText(TAG_GROUPS, groups);
        Reader answer;
        result = call(request, OP_LIST_READERS, answer);
        for (const Element& e : answer.elements()) {
            if (result != 0 || e.tag != TAG_READER_LISTED) continue;
            names += server.text() + ":" + e.asText() + "\r\n";
            ++count;
        }
        if (result == 0) result = resultOf(answer);
    }
    const std::int32_t released = releaseContext();
    if (result == 0) result = released;
    // A server without readers still reports readers arriving.
    if (pnp && (result == 0 || result == pcsc::code(SCARD_E_NO_READERS_AVAILABLE))) {
        names += server.text() + ":" + std::string(kNotification) + "\r\n";
        ++count;
    }
    return result;
}

std::int32_t RemotePcscClient::getStatusChange(std::uint32_t scope, std::uint32_t timeoutMs,
                                               std::span<SCARD_READERSTATE> states) {
    if (states.empty()) return ERR_INTERNAL;
    RemotePcscClient copy(*this);
    bool changed = false;
    std::size_t next = 0;
    while (next < states.size()) {
        const std::int32_t result = copy.statusChangeBatch(scope, timeoutMs, states, next, changed);
        if (result != 0) return result;
    }
    return changed ? 0 : kTimeoutCode;
}

std::int32_t RemotePcscClient::statusChangeBatch(std::uint32_t scope, std::uint32_t timeoutMs,
                                                 std::span<SCARD_READERSTATE> states, std::size_t& next,
                                                 bool& changed) {
    const std::size_t first = next;
    RemoteReaderName batchName;
    std::int32_t result = RemoteReaderName::split(states[first].szReader ? states[first].szReader : "", batchName);
    if (result == 0) result = useServer(batchName.server, scope);
    if (result != 0) return result;

    Writer request(OP_GET_STATUS_CHANGE);
    request.putInt(TAG_TIMEOUT, timeoutMs);
    for (; next < states.size(); ++next) {
        const SCARD_READERSTATE& s = states[next];
        RemoteReaderName parts;
        if (RemoteReaderName::split(s.szReader ? s.szReader : "", parts) != 0) return ERR_REMOTE_BAD_ADDRESS;
        if (parts.server != batchName.server) break;
        Writer nested;
        nested.putText(TAG_STATE_READER, parts.reader)
            .putInt(TAG_CURRENT_STATE, static_cast<std::uint32_t>(s.dwCurrentState))
            .putInt(TAG_EVENT_STATE, static_cast<std::uint32_t>(s.dwEventState))
            .putBytes(TAG_STATE_ATR, {s.rgbAtr, std::min<std::size_t>(s.cbAtr, sizeof s.rgbAtr)});
        request.putNested(TAG_READER_STATE, nested);
    }
    request.putInt(TAG_STATE_COUNT, static_cast<std::uint32_t>(next - first)).putHandle(TAG_CONTEXT, context_);

    Reader answer;
    result = call(request, OP_GET_STATUS_CHANGE, answer);
    if (result != 0) return result;
    result = resultOf(answer, kTimeoutCode);
    if (result != 0 && result != kTimeoutCode) return result;
    if (result == 0) changed = true;
    // Answers fill this batch's states in order, neither more nor fewer.
    std::size_t answered = first;
    for (const Element& e : answer.elements()) {
        if (e.tag != TAG_READER_STATE) continue;
        if (answered >= next || !takeState(e, states[answered])) return ERR_INTERNAL;
        ++answered;
    }
    if (answered != next) return ERR_INTERNAL;
    if ((result = releaseContext()) != 0) return result;
    return closeConnection();
}

std::int32_t RemotePcscClient::closeAll() {
    disconnect(SCARD_RESET_CARD);
    releaseContext();
    return closeConnection();
}

} // namespace vexa
