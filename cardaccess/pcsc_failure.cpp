#include "cardaccess/pcsc_failure.h"

#include <string>

#include "cardaccess/card_error.h"
#include "cardaccess/fallback_log.h"

namespace vexa {

std::string failedCallText(std::string_view call) {
    return std::string(call) + " () unsuccessful";
}

std::string failedCallText(std::string_view call, std::string_view reader) {
    return std::string(call) + " () to reader " + std::string(reader) + " unsuccessful";
}

TovException pcscFailure(const CallError& error) {
    const std::string& reader = error.detail();
    return TovException(error.code(),
                        reader.empty() ? failedCallText(error.call()) : failedCallText(error.call(), reader));
}

void logFailedRelease(std::string_view call, std::int32_t code) {
    if (code != 0) fallbackLog().write(LOG_WARNING, failedCallText(call) + connectionErrorSuffix(code));
}

} // namespace vexa
