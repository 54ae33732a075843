#include "support/date_time.h"

#include <chrono>

#include <gtest/gtest.h>

#include "temp_files.h"

namespace vexa {
namespace {

using test_support::ScopedEnv;

// Switches the process time zone for one test.
struct ScopedTimeZone {
    explicit ScopedTimeZone(const char* zone) : tz("TZ", zone) { tzset(); }
    ~ScopedTimeZone() { tzset(); }
    ScopedEnv tz;
};

// Year, month, day, hour, minute, second as one comparable number.
long long stamp(const DateTime& d) {
    long long value = d.year();
    for (int field : {d.month(), d.day(), d.hour(), d.minute(), d.second()}) value = value * 100 + field;
    return value;
}

TEST(DateTime, DefaultValueIsAllZero) {
    const DateTime value;
    EXPECT_EQ(stamp(value), 19000100000000);
    EXPECT_EQ(value.weekday() + value.dayOfYear(), 0);
    EXPECT_FALSE(value.daylightSaving());
}

TEST(DateTime, ConvertsInTheLocalTimeZone) {
    constexpr std::int64_t lastSecondOf2023 = 1704067199; // UTC
    DateTime value;
    {
        ScopedTimeZone utc("UTC0");
        value.setFromEpoch(lastSecondOf2023);
        EXPECT_EQ(stamp(value), 20231231235959);
        EXPECT_EQ(value.weekday(), 0); // Sunday
        EXPECT_EQ(value.dayOfYear(), 364);
    }
    ScopedTimeZone east("XXX-1");
    value.setFromEpoch(lastSecondOf2023);
    EXPECT_EQ(stamp(value), 20240101005959);
}

TEST(DateTime, NowFollowsTheSystemClock) {
    // time() reads a coarser clock that may lag a few ms behind; compare
    // against the same clock setToNow reads.
    auto clockNow = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    DateTime before, after;
    before.setFromEpoch(clockNow());
    const DateTime now(true);
    after.setFromEpoch(clockNow());
    EXPECT_GE(stamp(now), stamp(before));
    EXPECT_LE(stamp(now), stamp(after));
}

} // namespace
} // namespace vexa
