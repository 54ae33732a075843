#include "cardaccess/pcsc_failure.h"

#include <string>

#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"

namespace vexa {

TovException pcscFailure(const CallError& error) {
    const std::string reader = error.detail().empty() ? std::string() : " to reader " + error.detail();
    return TovException(error.code(), error.call() + " ()" + reader + " unsuccessful");
}

void logFailedRelease(std::string_view call, std::int32_t code) {
    if (code != 0)
        fallbackLog().write(LOG_WARNING, std::string(call) + " () unsuccessful" + connectionErrorSuffix(code));
}

} // namespace vexa
