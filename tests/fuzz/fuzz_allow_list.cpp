// vexa-rpcscd reads its allow list from the command line, and a service
// file may take it from anywhere.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/allow_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexa::rpcsc;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto block = parseAddressBlock(text)) {
        if (block->prefixBits > 128) std::abort();
        AllowList list;
        std::string error;
        // An entry that parses alone must be taken, and admit its own address.
        if (!list.add(text, error) || !list.allows(block->address)) std::abort();
        if (addressText(block->address).empty()) std::abort();
    }
    AllowList list;
    std::string error;
    if (!list.add(text, error) && !list.empty()) std::abort();
    return 0;
}
