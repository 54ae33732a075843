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

// Header block (tag 0x10), the first element of every message.
struct RequestHeader {
    std::int32_t version = kMessageVersion;
    std::int32_t functionId = 0;
    std::int32_t processId = 0;
    std::string clientId;
    std::string transactionId;
    std::int32_t errorCode = 0;
    std::int32_t reserved = 0;
};

// Environment block (tag 0x20) that EncodeRequest tells the server.
struct RequestEnvironment {
    std::int32_t interfaceType = 0;
    std::string readerName;
    std::string operatingSystem;
    std::string clientName;
    bool atrFlag = false;
};

// One card command of a request (tag 0x43).
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

// One command's result (tag 0x51).
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
bool writeResponse(TlvBuffer& out, const ServerResponse& response);

// Reads a request from the cursor on: header, flags, commands; unknown tags
// are skipped, missing fields read as 0 or empty, and reading stops at the
// first element cut off by the end of the data.
ServerRequest readRequest(TlvBuffer& in);
// The same for a response (the request builder's side).
ServerResponse readResponse(TlvBuffer& in);

} // namespace vexa
