#include "support/date_time.h"

#include <chrono>

#include "platform/local_time.h"

namespace vexa {

DateTime::DateTime(bool now) {
    if (now) setToNow();
}

void DateTime::setToNow() {
    setFromEpoch(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

void DateTime::setFromEpoch(std::int64_t secondsSinceEpoch) {
    const std::optional<platform::LocalTime> local = platform::localTimeOf(secondsSinceEpoch);
    if (!local) {
        *this = DateTime();
        return;
    }
    second_ = local->second;
    minute_ = local->minute;
    hour_ = local->hour;
    day_ = local->day;
    month_ = local->month;
    year_ = local->year;
    weekday_ = local->weekday;
    dayOfYear_ = local->dayOfYear;
    daylightSaving_ = local->daylightSaving;
}

} // namespace vexa
