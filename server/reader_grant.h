#pragma once

#include <string>
#include <vector>

namespace vexa::rpcsc {

// The readers a client certificate may use. Each name is a reader's exact
// name, or a prefix ending in '*'; no names grant every reader.
struct ReaderGrant {
    std::vector<std::string> readers;

    bool everyReader() const { return readers.empty(); }
};

} // namespace vexa::rpcsc
