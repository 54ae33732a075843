// vexa-rpcscd reads request lines from any client that reaches its port.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "rpcsc/rpcsc_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexa::rpcsc;
    Request request;
    const RequestError error = parseRequest({reinterpret_cast<const char*>(data), size}, request);
    if (error == RequestError::none) {
        if (request.op == 0 || request.op > 11) std::abort();
        if (request.states.size() > kMaxStates) std::abort();
        if (request.reader.find('\0') != std::string::npos) std::abort();
    }
    return 0;
}
