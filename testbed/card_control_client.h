#pragma once

#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace vexa::testbed {

// The test side of a virtual card's control socket.
class CardControlClient {
public:
    explicit CardControlClient(std::string path) : path_(std::move(path)) {}

    // Sends one request line and returns the reply line ("ok ..." or
    // "error ..."); "error no emulator at <path>" when it cannot connect.
    std::string request(std::string_view line);
    // The same, throwing std::runtime_error unless the reply starts "ok".
    std::string require(std::string_view line);

    const std::string& path() const { return path_; }

private:
    bool ensureConnected();

    std::string path_;
    platform::UniqueFd fd_;
    std::string input_;
};

} // namespace vexa::testbed
