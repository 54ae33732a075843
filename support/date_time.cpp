#include "support/date_time.h"

#include <chrono>
#include <ctime>

namespace vexa {

DateTime::DateTime(bool now) {
    if (now) setToNow();
}

void DateTime::setToNow() {
    setFromEpoch(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

void DateTime::setFromEpoch(std::int64_t secondsSinceEpoch) {
    const std::time_t time = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) {
        *this = DateTime();
        return;
    }
    second_ = local.tm_sec;
    minute_ = local.tm_min;
    hour_ = local.tm_hour;
    day_ = local.tm_mday;
    month_ = local.tm_mon;
    year_ = local.tm_year;
    weekday_ = local.tm_wday;
    dayOfYear_ = local.tm_yday;
    daylightSaving_ = local.tm_isdst;
}

} // namespace vexa
