#include "rpcsc/rpcsc_request.h"

#include "pcsc/pcsc_api.h"

#include "pcsc/pcsc_call.h"

namespace vexa::rpcsc {
namespace {

using namespace wire;

bool readState(const Element& nested, RequestedState& state) {
    Reader inner;
    if (inner.parse(nested.value.bytes()) != ParseError::none) return false;
    state.reader = inner.textOr(TAG_STATE_READER);
    state.current = inner.intOr(TAG_CURRENT_STATE, 0);
    state.event = inner.intOr(TAG_EVENT_STATE, 0);
    // Names are C strings to PC/SC: an embedded NUL would name another reader.
    return state.reader.find('\0') == std::string::npos;
}

bool readStates(const Reader& message, Request& out) {
    for (const Element& e : message.elements()) {
        if (e.tag != TAG_READER_STATE) continue;
        if (out.states.size() == kMaxStates) return false;
        RequestedState state;
        if (!readState(e, state)) return false;
        out.states.push_back(std::move(state));
    }
    const Element* count = message.find(TAG_STATE_COUNT);
    return !out.states.empty() && (count == nullptr || count->asInt() == out.states.size());
}

} // namespace

RequestError parseRequest(std::string_view line, Request& out) {
    out = {};
    Reader message;
    if (message.parseLine(line) != ParseError::none) return RequestError::notMessage;
    const auto op = message.operation();
    if (!op || *op > 0xFF) return RequestError::notMessage;
    out.op = static_cast<std::uint8_t>(*op);
    if (out.op == 0 || out.op > kLastOp) return RequestError::unknownOp;

    out.scope = message.intOr(TAG_SCOPE, 0);
    out.context = message.handleOr(TAG_CONTEXT, 0);
    out.card = message.handleOr(TAG_CARD, 0);
    out.groups = message.textOr(TAG_GROUPS);
    out.reader = message.textOr(TAG_READER);
    out.shareMode = message.intOr(TAG_SHARE_MODE, 0);
    out.protocols = message.intOr(TAG_PROTOCOLS, 0);
    out.protocol = message.intOr(TAG_PROTOCOL, 0);
    out.disposition = message.intOr(TAG_DISPOSITION, 0);
    out.controlCode = message.intOr(TAG_CONTROL_CODE, 0);
    out.raw = message.intOr(TAG_RAW, 0) != 0;
    if (const Element* input = message.find(TAG_INPUT)) out.input = input->value;
    out.maxOutput = message.intOr(TAG_MAX_OUTPUT, 0);
    out.timeoutMs = message.intOr(TAG_TIMEOUT, 0);

    if (out.reader.find('\0') != std::string::npos || out.groups.find('\0') != std::string::npos)
        return RequestError::badArguments;
    if (out.op == OP_GET_STATUS_CHANGE && !readStates(message, out)) return RequestError::badArguments;
    return RequestError::none;
}

Writer resultAnswer(std::uint8_t op, std::int32_t result) {
    Writer answer(op);
    answer.putInt(TAG_RESULT, static_cast<std::uint32_t>(result));
    return answer;
}

Reply answerRequest(std::string_view line, RequestHandler& handler) {
    Request request;
    Reply reply;
    switch (parseRequest(line, request)) {
        case RequestError::notMessage:
            return reply;
        case RequestError::unknownOp:
            reply.answer = resultAnswer(request.op, pcsc::code(SCARD_E_UNSUPPORTED_FEATURE));
            break;
        case RequestError::badArguments:
            reply.answer = resultAnswer(request.op, pcsc::code(SCARD_E_INVALID_PARAMETER));
            break;
        case RequestError::none:
            reply.answer = handler.handle(request);
            break;
    }
    reply.answered = true;
    reply.op = request.op;
    return reply;
}

} // namespace vexa::rpcsc
