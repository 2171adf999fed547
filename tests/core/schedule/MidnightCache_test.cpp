#include "core/watch/Schedule.h"
#include "support/FakeClock.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

using namespace tw;

// Today's midnight is kept for the same second; a new zone or a new second must not be served
// the kept answer.
TEST(MidnightCache, FollowsZoneAndClockChanges) {
    test::ZoneGuard zone{"Asia/Tokyo"};
    test::FakeClock clock(test::localTime(2026, 12, 7, 23, 59, 59));
    const std::time_t tokyo = todayMidnight(clock);
    EXPECT_EQ(tokyo, test::localTime(2026, 12, 7));
    EXPECT_EQ(todayMidnight(clock), tokyo);

    test::ZoneGuard::use("UTC");
    EXPECT_EQ(todayMidnight(clock), test::localTime(2026, 12, 7)); // 14:59:59 UTC
    EXPECT_NE(todayMidnight(clock), tokyo);

    test::ZoneGuard::use("Asia/Tokyo");
    clock.advance(1); // the next day in Tokyo
    EXPECT_EQ(todayMidnight(clock), test::localTime(2026, 12, 8));
    ::unsetenv("TZ");
    ::tzset();
    const std::time_t machine = todayMidnight(clock);
    std::tm fields{};
    const std::time_t now = clock.now();
    localtime_r(&now, &fields);
    EXPECT_EQ(machine, test::localTime(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday));
}
