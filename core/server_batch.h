#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/byte_buffer.h"
#include "support/tlv_buffer.h"

namespace vexa {

// The messages a server exchanges with the plug-in through the page: narrow
// TLV elements, enciphered for transport with the transport key. Every layout
// here is fixed byte for byte by the servers.
inline constexpr char kTransportKey[] = "7KT2R8W4N6Q1X5Z3";
inline constexpr std::uint32_t kMessageCapacity = 8192;
inline constexpr std::uint8_t kMessageVersion = 20;
inline constexpr std::int32_t kExecuteFunctionId = 9;

namespace batch {

enum Tag : std::uint8_t {
    TAG_HEADER = 0x10,
    TAG_VERSION = 0x11,
    TAG_FUNCTION = 0x12,
    TAG_PROCESS = 0x13,
    TAG_CLIENT = 0x14,
    TAG_TRANSACTION = 0x15,
    TAG_ERROR = 0x16,
    TAG_RESERVED = 0x17,

    TAG_ENVIRONMENT = 0x20,
    TAG_INTERFACE = 0x22,
    TAG_READER = 0x23,
    TAG_OPERATING_SYSTEM = 0x24,
    TAG_CLIENT_NAME = 0x25,
    TAG_ATR_FLAG = 0x26,

    TAG_RELEASE = 0x41,
    TAG_CONTINUE = 0x42,
    TAG_COMMAND = 0x43,
    TAG_APDU = 0x44,
    TAG_RECONNECT = 0x45,
    TAG_RECONNECT_SECONDS = 0x46,
    TAG_STOP = 0x47,
    TAG_CONTROL_CODE = 0x48,

    TAG_CARD_REMOVED = 0x50,
    TAG_RESULT = 0x51,
    TAG_ANSWER = 0x52,
    TAG_CODE = 0x53,
    TAG_TEXT = 0x54,
};

} // namespace batch

// Header block (TAG_HEADER), the first element of every message.
struct RequestHeader {
    std::int32_t version = kMessageVersion;
    std::int32_t functionId = 0;
    std::int32_t processId = 0;
    std::string clientId;
    std::string transactionId;
    std::int32_t errorCode = 0;
    std::int32_t reserved = 0;
};

// Environment block (TAG_ENVIRONMENT) that EncodeRequest tells the server.
struct RequestEnvironment {
    std::int32_t interfaceType = 0;
    std::string readerName;
    std::string operatingSystem;
    std::string clientName;
    bool atrFlag = false;
};

// One card command of a request (TAG_COMMAND).
struct RequestCommand {
    ByteBuffer apdu;
    bool reconnect = false;
    std::int32_t reconnectSeconds = 0;
    bool stopOnSuccess = false;
    std::uint32_t controlCode = 0; // 0: to the card; else to the reader
};

struct ServerRequest {
    RequestHeader header;
    bool release = false;
    bool continueOnError = false;
    std::vector<RequestCommand> commands;
};

// One command's result (TAG_RESULT).
struct CommandResult {
    ByteBuffer answer;
    std::int32_t code = 0;
    std::string text;
};

struct ServerResponse {
    RequestHeader header;
    bool cardRemoved = false;
    std::vector<CommandResult> results;
};

// Each write appends to the buffer; false when an element does not fit
// (a block over 255 bytes, a message over the capacity).
bool writeHeader(TlvBuffer& out, const RequestHeader& header);
bool writeEnvironment(TlvBuffer& out, const RequestEnvironment& environment);
// A whole request or response: header first, then the body.
bool writeRequest(TlvBuffer& out, const ServerRequest& request);
bool writeResponse(TlvBuffer& out, const ServerResponse& response);

// Reads a request from the cursor on: header, flags, commands; unknown tags
// are skipped, missing fields read as 0 or empty, and reading stops at the
// first element cut off by the end of the data.
ServerRequest readRequest(TlvBuffer& in);
// The same for a response (the request builder's side).
ServerResponse readResponse(TlvBuffer& in);

} // namespace vexa
