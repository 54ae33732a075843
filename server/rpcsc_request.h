#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

} // namespace vexa::rpcsc
