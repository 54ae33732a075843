#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vexa {

// A failed call into an outside interface (pcsc-lite, a remote PC/SC server,
// a CT-API driver): the code it gave and the call's name, plus what it was
// about where the name alone does not say (a server's address). It carries no
// log text: the caller that owns the operation decides text and log level.
// Header-only, so the CT-API driver can throw it without linking the support
// library.
class CallError {
public:
    CallError(std::int32_t code, std::string_view call, std::string detail = {})
        : code_(code), call_(call), detail_(std::move(detail)) {}

    std::int32_t code() const { return code_; }
    const std::string& call() const { return call_; }
    const std::string& detail() const { return detail_; }

private:
    std::int32_t code_;
    std::string call_;
    std::string detail_;
};

// Throws a call's result as its failure unless it is 0, the success of every
// interface behind CallError.
inline void throwOnFailure(std::int32_t code, std::string_view call, std::string detail = {}) {
    if (code != 0) throw CallError(code, call, std::move(detail));
}

} // namespace vexa
