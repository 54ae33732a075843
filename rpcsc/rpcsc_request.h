#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rpcsc/wire_message.h"
#include "support/byte_buffer.h"

namespace vexa::rpcsc {

// One reader state of a getStatusChange request.
struct RequestedState {
    std::string reader;
    std::uint32_t current = 0;
    std::uint32_t event = 0;
};

// A request line read into its fields; fields the operation does not use
// stay 0 or empty, as do fields the client left out.
struct Request {
    std::uint8_t op = 0;
    std::uint32_t scope = 0;
    std::uint64_t context = 0;
    std::uint64_t card = 0;
    std::string groups;
    std::string reader;
    std::uint32_t shareMode = 0;
    std::uint32_t protocols = 0;
    std::uint32_t protocol = 0;
    std::uint32_t disposition = 0;
    std::uint32_t controlCode = 0;
    bool raw = false;
    ByteBuffer input;
    std::uint32_t maxOutput = 0;
    std::uint32_t timeoutMs = 0;
    std::vector<RequestedState> states;
};

// Most reader states one getStatusChange request may name.
inline constexpr std::size_t kMaxStates = 64;

enum class RequestError {
    none,
    notMessage,   // no hex, cut-off elements or no readable header: no answer possible
    unknownOp,    // header fine, operation unknown: answered with a failure
    badArguments, // an element that does not fit its operation: answered with a failure
};

// Reads one request line. With unknownOp and badArguments out.op is set.
RequestError parseRequest(std::string_view line, Request& out);

// The work behind the requests of one connection (the server's PC/SC
// session).
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // The answer to a request that was read.
    virtual wire::Writer handle(const Request& request) = 0;
};

// An answer that starts with the operation's header and the call's result.
wire::Writer resultAnswer(std::uint8_t op, std::int32_t result);

// What one request line gets.
struct Reply {
    bool answered = false; // false: the line is no request; the connection ends
    std::uint8_t op = 0;
    wire::Writer answer;
};

// Answers one request line: an unknown operation with
// SCARD_E_UNSUPPORTED_FEATURE, an element that does not fit its operation
// with SCARD_E_INVALID_PARAMETER, the rest through the handler.
Reply answerRequest(std::string_view line, RequestHandler& handler);

} // namespace vexa::rpcsc
