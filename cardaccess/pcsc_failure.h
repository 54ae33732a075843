#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "support/call_error.h"
#include "support/tov_exception.h"

namespace vexa {

// How a failed call of any interface is told in the log: "<call> ()
// unsuccessful", or "<call> () to reader <reader> unsuccessful" for a call
// about a reader.
std::string failedCallText(std::string_view call);
std::string failedCallText(std::string_view call, std::string_view reader);

// A failed call of the PC/SC library as the card layer reports it:
// TovException with the code and the text its log line starts with
// ("SCardListReaders () unsuccessful", "SCardConnect () to reader <name>
// unsuccessful").
TovException pcscFailure(const CallError& error);

// Runs a throwing call of the PC/SC library, reporting its failure as
// pcscFailure does.
template <typename Call>
decltype(auto) pcscChecked(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (const CallError& error) {
        throw pcscFailure(error);
    }
}

// Reports a failed release (call such as "SCardReleaseContext") where no
// caller can take the code, as in a destructor: a warning in the fallback log.
void logFailedRelease(std::string_view call, std::int32_t code);

} // namespace vexa
