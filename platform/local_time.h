#pragma once

#include <cstdint>
#include <optional>

namespace vexa::platform {

// An instant as the user's local clock shows it, in the C library's counting
// (months 0-11, years since 1900, weekday 0 = Sunday, day of year 0-365).
struct LocalTime {
    int second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0;
    int weekday = 0, dayOfYear = 0;
    int daylightSaving = 0; // above 0 in effect, 0 not, below 0 unknown
};

// None when the instant cannot be converted.
std::optional<LocalTime> localTimeOf(std::int64_t secondsSinceEpoch);

} // namespace vexa::platform
