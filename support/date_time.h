#pragma once

#include <cstdint>

namespace vexa {

// Broken-down local time behind log timestamps and the log file name's date
// placeholders. A default value has every field 0.
class DateTime {
public:
    explicit DateTime(bool now = false);
    void setToNow();
    // Local time of the given instant; every field 0 if it cannot be converted.
    void setFromEpoch(std::int64_t secondsSinceEpoch);

    int second() const { return second_; }
    int minute() const { return minute_; }
    int hour() const { return hour_; }
    int day() const { return day_; }
    int month() const { return month_ + 1; }  // 1-12
    int year() const { return year_ + 1900; } // four digits
    int weekday() const { return weekday_; }
    int dayOfYear() const { return dayOfYear_; }
    bool daylightSaving() const { return daylightSaving_ != 0; }

private:
    int second_ = 0, minute_ = 0, hour_ = 0, day_ = 0, month_ = 0, year_ = 0;
    int weekday_ = 0, dayOfYear_ = 0, daylightSaving_ = 0;
};

} // namespace vexa
