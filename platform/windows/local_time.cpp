#include "platform/local_time.h"

#include <ctime>

namespace vexa::platform {

std::optional<LocalTime> localTimeOf(std::int64_t secondsSinceEpoch) {
    const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    if (::localtime_s(&local, &time) != 0) return std::nullopt;
    return LocalTime{local.tm_sec,  local.tm_min,  local.tm_hour, local.tm_mday, local.tm_mon,
                     local.tm_year, local.tm_wday, local.tm_yday, local.tm_isdst};
}

} // namespace vexa::platform
