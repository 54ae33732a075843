#include "core/server_batch.h"

#include <span>

namespace vexa {

using namespace batch;

namespace {

// An integer element: the low bytes of the value, big-endian.
bool putInteger(TlvBuffer& out, std::uint8_t tag, std::int32_t value, std::uint32_t width) {
    ByteBuffer bytes;
    bytes.storeSigned32(value, width);
    return out.putByteBuffer(tag, bytes);
}

std::string textOf(const ByteBuffer& value) {
    return std::string(value.bytes().begin(), value.bytes().end());
}

// A nested block written into a buffer of its own, then as one element.
template <typename Fill>
bool putBlock(TlvBuffer& out, std::uint8_t tag, Fill&& fill) {
    TlvBuffer block;
    block.allocate(kMessageCapacity);
    return fill(block) && out.putNested(tag, block);
}

// Calls take(tag, value) for every element of the value, in order.
template <typename Take>
void forEachElement(TlvBuffer& in, Take&& take) {
    std::uint8_t tag = 0;
    ByteBuffer value;
    while (in.usedSize() < in.capacity() && in.get(tag, value)) take(tag, value);
}

template <typename Take>
void forEachNested(const ByteBuffer& block, Take&& take) {
    TlvBuffer in;
    if (!in.load(block)) return;
    forEachElement(in, take);
}

RequestHeader readHeader(const ByteBuffer& block) {
    RequestHeader header;
    header.version = 0;
    forEachNested(block, [&](std::uint8_t tag, const ByteBuffer& value) {
        switch (tag) {
            case TAG_VERSION:
                header.version = value.readSigned32();
                break;
            case TAG_FUNCTION:
                header.functionId = value.readSigned32();
                break;
            case TAG_PROCESS:
                header.processId = value.readSigned32();
                break;
            case TAG_CLIENT:
                header.clientId = textOf(value);
                break;
            case TAG_TRANSACTION:
                header.transactionId = textOf(value);
                break;
            case TAG_ERROR:
                header.errorCode = value.readSigned32();
                break;
            case TAG_RESERVED:
                header.reserved = value.readSigned32();
                break;
            default:
                break;
        }
    });
    return header;
}

RequestCommand readCommand(const ByteBuffer& block) {
    RequestCommand command;
    forEachNested(block, [&](std::uint8_t tag, const ByteBuffer& value) {
        switch (tag) {
            case TAG_APDU:
                command.apdu = value;
                break;
            case TAG_RECONNECT:
                command.reconnect = value.readUnsigned64() != 0;
                break;
            case TAG_RECONNECT_SECONDS:
                command.reconnectSeconds = value.readSigned32();
                break;
            case TAG_STOP:
                command.stopOnSuccess = value.readUnsigned64() != 0;
                break;
            case TAG_CONTROL_CODE:
                command.controlCode = value.readUnsigned32();
                break;
            default:
                break;
        }
    });
    return command;
}

CommandResult readResult(const ByteBuffer& block) {
    CommandResult result;
    forEachNested(block, [&](std::uint8_t tag, const ByteBuffer& value) {
        switch (tag) {
            case TAG_ANSWER:
                result.answer = value;
                break;
            case TAG_CODE:
                result.code = value.readSigned32();
                break;
            case TAG_TEXT:
                result.text = textOf(value);
                break;
            default:
                break;
        }
    });
    return result;
}

} // namespace

bool writeHeader(TlvBuffer& out, const RequestHeader& header) {
    return putBlock(out, TAG_HEADER, [&](TlvBuffer& b) {
        return putInteger(b, TAG_VERSION, header.version, 1) && putInteger(b, TAG_FUNCTION, header.functionId, 1) &&
               putInteger(b, TAG_PROCESS, header.processId, 2) && b.putText(TAG_CLIENT, header.clientId) &&
               b.putText(TAG_TRANSACTION, header.transactionId) && putInteger(b, TAG_ERROR, header.errorCode, 4) &&
               putInteger(b, TAG_RESERVED, header.reserved, 4);
    });
}

bool writeEnvironment(TlvBuffer& out, const RequestEnvironment& environment) {
    return putBlock(out, TAG_ENVIRONMENT, [&](TlvBuffer& b) {
        return putInteger(b, TAG_INTERFACE, environment.interfaceType, 1) &&
               b.putText(TAG_READER, environment.readerName) &&
               b.putText(TAG_OPERATING_SYSTEM, environment.operatingSystem) &&
               b.putText(TAG_CLIENT_NAME, environment.clientName) &&
               putInteger(b, TAG_ATR_FLAG, environment.atrFlag ? 1 : 0, 1);
    });
}

bool writeRequest(TlvBuffer& out, const ServerRequest& request) {
    if (!writeHeader(out, request.header) || !putInteger(out, TAG_RELEASE, request.release ? 1 : 0, 1) ||
        !putInteger(out, TAG_CONTINUE, request.continueOnError ? 1 : 0, 1))
        return false;
    for (const RequestCommand& command : request.commands) {
        const bool written = putBlock(out, TAG_COMMAND, [&](TlvBuffer& b) {
            return b.putByteBuffer(TAG_APDU, command.apdu) &&
                   putInteger(b, TAG_RECONNECT, command.reconnect ? 1 : 0, 1) &&
                   putInteger(b, TAG_RECONNECT_SECONDS, command.reconnectSeconds, 4) &&
                   putInteger(b, TAG_STOP, command.stopOnSuccess ? 1 : 0, 1) &&
                   b.putUnsigned32(TAG_CONTROL_CODE, command.controlCode);
        });
        if (!written) return false;
    }
    return true;
}

bool writeResponse(TlvBuffer& out, const ServerResponse& response) {
    if (!writeHeader(out, response.header) || !putInteger(out, TAG_CARD_REMOVED, response.cardRemoved ? 1 : 0, 1))
        return false;
    for (const CommandResult& result : response.results) {
        const bool written = putBlock(out, TAG_RESULT, [&](TlvBuffer& b) {
            return b.putByteBuffer(TAG_ANSWER, result.answer) && putInteger(b, TAG_CODE, result.code, 4) &&
                   b.putText(TAG_TEXT, result.text);
        });
        if (!written) return false;
    }
    return true;
}

ServerRequest readRequest(TlvBuffer& in) {
    ServerRequest request;
    request.header.version = 0;
    forEachElement(in, [&](std::uint8_t tag, const ByteBuffer& value) {
        switch (tag) {
            case TAG_HEADER:
                request.header = readHeader(value);
                break;
            case TAG_RELEASE:
                request.release = value.readUnsigned64() != 0;
                break;
            case TAG_CONTINUE:
                request.continueOnError = value.readUnsigned64() != 0;
                break;
            case TAG_COMMAND:
                request.commands.push_back(readCommand(value));
                break;
            default:
                break;
        }
    });
    return request;
}

ServerResponse readResponse(TlvBuffer& in) {
    ServerResponse response;
    response.header.version = 0;
    forEachElement(in, [&](std::uint8_t tag, const ByteBuffer& value) {
        switch (tag) {
            case TAG_HEADER:
                response.header = readHeader(value);
                break;
            case TAG_CARD_REMOVED:
                response.cardRemoved = value.readUnsigned64() != 0;
                break;
            case TAG_RESULT:
                response.results.push_back(readResult(value));
                break;
            default:
                break;
        }
    });
    return response;
}

} // namespace vexa
