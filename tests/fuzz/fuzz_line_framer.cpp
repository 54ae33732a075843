// Remote PC/SC lines arrive in pieces of any size from any peer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rpcsc/line_framer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first bytes choose the bound and the size of the pieces.
    const std::size_t maxLength = data[0];
    const std::size_t piece = data[1] % 16 + 1;
    std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    vexa::LineFramer framer;
    vexa::SecureString line;
    while (!input.empty()) {
        framer.feed(input.substr(0, piece));
        input.remove_prefix(std::min(piece, input.size()));
        for (;;) {
            const auto next = framer.next(line, maxLength);
            if (next != vexa::LineFramer::Next::line) break;
            // A line never holds its end, a CR, or more than the bound.
            if (line.size() > maxLength || line.find_first_of("\r\n") != std::string::npos) std::abort();
        }
    }
    const vexa::SecureString rest = framer.takeRest();
    // What stays buffered is never a line end, nor over the bound.
    if (rest.find('\n') != std::string::npos || rest.size() > maxLength) std::abort();
    return 0;
}
