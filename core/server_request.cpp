#include "core/server_request.h"

#include <span>

namespace vexa {
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
            case 0x11:
                header.version = value.readSigned32();
                break;
            case 0x12:
                header.functionId = value.readSigned32();
                break;
            case 0x13:
                header.processId = value.readSigned32();
                break;
            case 0x14:
                header.clientId = textOf(value);
                break;
            case 0x15:
                header.transactionId = textOf(value);
                break;
            case 0x16:
                header.errorCode = value.readSigned32();
                break;
            case 0x17:
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
            case 0x44:
                command.apdu = value;
                break;
            case 0x45:
                command.reconnect = value.readUnsigned64() != 0;
                break;
            case 0x46:
                command.reconnectSeconds = value.readSigned32();
                break;
            case 0x47:
                command.stopOnSuccess = value.readUnsigned64() != 0;
                break;
            case 0x48:
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
            case 0x52:
                result.answer = value;
                break;
            case 0x53:
                result.code = value.readSigned32();
                break;
            case 0x54:
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
    return putBlock(out, 0x10, [&](TlvBuffer& b) {
        return putInteger(b, 0x11, header.version, 1) && putInteger(b, 0x12, header.functionId, 1) &&
               putInteger(b, 0x13, header.processId, 2) && b.putText(0x14, header.clientId) &&
               b.putText(0x15, header.transactionId) && putInteger(b, 0x16, header.errorCode, 4) &&
               putInteger(b, 0x17, header.reserved, 4);
    });
}

bool writeEnvironment(TlvBuffer& out, const RequestEnvironment& environment) {
    return putBlock(out, 0x20, [&](TlvBuffer& b) {
        return putInteger(b, 0x22, environment.interfaceType, 1) && b.putText(0x23, environment.readerName) &&
               b.putText(0x24, environment.operatingSystem) && b.putText(0x25, environment.clientName) &&
               putInteger(b, 0x26, environment.atrFlag ? 1 : 0, 1);
    });
}

bool writeResponse(TlvBuffer& out, const ServerResponse& response) {
    if (!writeHeader(out, response.header) || !putInteger(out, 0x50, response.cardRemoved ? 1 : 0, 1)) return false;
    for (const CommandResult& result : response.results) {
        const bool written = putBlock(out, 0x51, [&](TlvBuffer& b) {
            return b.putByteBuffer(0x52, result.answer) && putInteger(b, 0x53, result.code, 4) &&
                   b.putText(0x54, result.text);
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
            case 0x10:
                request.header = readHeader(value);
                break;
            case 0x41:
                request.release = value.readUnsigned64() != 0;
                break;
            case 0x42:
                request.continueOnError = value.readUnsigned64() != 0;
                break;
            case 0x43:
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
            case 0x10:
                response.header = readHeader(value);
                break;
            case 0x50:
                response.cardRemoved = value.readUnsigned64() != 0;
                break;
            case 0x51:
                response.results.push_back(readResult(value));
                break;
            default:
                break;
        }
    });
    return response;
}

} // namespace vexa
