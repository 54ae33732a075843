#pragma once

#include "support/tov_log.h"

namespace vexa {

// The log of destructors, which have no caller's log: standard error,
// warnings and worse only, so a resource that could not be released is
// reported rather than dropped silently.
inline TovLog fallbackLog() {
    TovLog log(LOG_WARNING, TovLog::Stdout, false);
    log.open();
    return log;
}

// True when a line at this level would be written, so callers can skip
// building texts (hex dumps) that nobody reads.
inline bool logWants(const TovLog& log, std::int32_t level) {
    return log.isOpened() && level >= log.threshold() && log.threshold() < LOG_OFF;
}

} // namespace vexa
