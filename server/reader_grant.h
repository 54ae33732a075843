#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexa::rpcsc {

// The readers one client may use: every reader, or those named exactly or by
// a prefix.
class ReaderGrant {
public:
    // Every reader: what a client without a narrower grant gets.
    ReaderGrant() = default;

    // Only the readers named: an exact name, or a prefix when it ends in
    // '*'. An empty list grants no reader.
    static ReaderGrant only(std::vector<std::string> names);

    bool allReaders() const { return all_; }
    bool admits(std::string_view reader) const;
    // As given, for the log: "*" for every reader.
    std::string text() const;
    bool operator==(const ReaderGrant&) const = default;

private:
    bool all_ = true;
    std::vector<std::string> exact_;
    std::vector<std::string> prefixes_; // without the '*'
};

} // namespace vexa::rpcsc
