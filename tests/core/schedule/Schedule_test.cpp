#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/Schedule.h"
#include "support/FakeClock.h"
#include "support/FakePrompter.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

using namespace tw;

namespace {

class ScheduleTest : public ::testing::Test {
protected:
    static void useZone(const char* zone) { test::ZoneGuard::use(zone); }

    test::ZoneGuard zone{"Asia/Tokyo"};

    static std::time_t local(int year, int month, int day, int hour = 0, int minute = 0,
                             int second = 0) {
        return test::localTime(year, month, day, hour, minute, second);
    }

    static WatchSettings item(const char* schedule, const char* timing, std::time_t date = 0,
                              int time = 0) {
        WatchSettings w;
        w.schedule = schedule;
        w.timing = timing;
        w.dateValue = date;
        w.timeValue = time;
        return w;
    }

    test::FakeClock clock;
    test::FakePrompter prompter;
};

const std::string kIntervalMessage =
    jp("ウォッチ間隔が10秒以下のアイテムがあります。\n強制的に一分間隔に修正します。");

} // namespace

TEST_F(ScheduleTest, DailyOpenIsDueOnLoadThenNotAgainToday) {
    clock.set(local(2026, 12, 7, 9, 0));
    WatchSettings w = item("daily", "open");
    computeNextCheck(w, false, clock, &prompter);
    EXPECT_EQ(w.nextCheck, 0);
    w.nextCheck = -1; // the watch list marks it after the check
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, -1);
    // A due item stays due when another item's check finishes.
    w.nextCheck = 0;
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, 0);
}

TEST_F(ScheduleTest, IntervalFollowsLastCheckAndCatchesUp) {
    clock.set(local(2026, 12, 7, 9, 0));
    WatchSettings w = item("daily", "inter", 0, 300);
    computeNextCheck(w, false, clock, &prompter);
    EXPECT_EQ(w.nextCheck, 0);
    w.lastCheck = clock.now();
    w.nextCheck = -1;
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, local(2026, 12, 7, 9, 5));
    // Long after the interval ran out: due at once.
    clock.set(local(2026, 12, 7, 10, 0));
    w.nextCheck = -1;
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, 0);
    EXPECT_TRUE(prompter.messages().empty());
}

TEST_F(ScheduleTest, ShortIntervalIsCorrectedWithOneMessageEachTime) {
    clock.set(local(2026, 12, 7, 9, 0));
    WatchSettings tooShort = item("daily", "inter", 0, 5);
    computeNextCheck(tooShort, false, clock, &prompter);
    EXPECT_EQ(tooShort.timeValue, 60);
    ASSERT_EQ(prompter.messages().size(), 1u);
    EXPECT_EQ(prompter.messages()[0], kIntervalMessage);

    WatchSettings ten = item("daily", "inter", 0, 10);
    computeNextCheck(ten, false, clock, &prompter);
    EXPECT_EQ(ten.timeValue, 10);
    EXPECT_EQ(prompter.messages().size(), 1u);

    // Not a check day: nothing is corrected and nothing is shown.
    WatchSettings weekly = item("weekly", "inter", 0, 1);
    computeNextCheck(weekly, false, clock, &prompter);
    EXPECT_EQ(weekly.nextCheck, -1);
    EXPECT_EQ(weekly.timeValue, 1);
    EXPECT_EQ(prompter.messages().size(), 1u);
}

TEST_F(ScheduleTest, FirstDueMomentByScheduleAndTiming) {
    struct Case {
        const char* what;
        std::time_t now;
        const char* schedule;
        const char* timing;
        std::time_t date;
        int time;
        std::time_t expected;
        std::time_t nextBefore = 0;
    };
    // 2026-12-08 is a Tuesday; bit 0 of a weekly date is Sunday.
    const std::time_t tuesday = local(2026, 12, 8, 7, 0);
    const std::time_t aprilTenth = local(2026, 4, 10, 8, 0);
    const std::time_t decemberSeventh = local(2026, 12, 7, 9, 0);
    const Case cases[] = {
        {"weekly set time on the next chosen day", tuesday, "weekly", "define", (1 << 1) | (1 << 4),
         30600, local(2026, 12, 10, 8, 30)},
        {"weekly open on a chosen day", tuesday, "weekly", "open", 1 << 2, 0, 0},
        {"weekly open without days", tuesday, "weekly", "open", 0, 0, -1},
        {"weekly interval without days", tuesday, "weekly", "inter", 0, 300, -1},
        {"weekly set time without days: yesterday, passed over", tuesday, "weekly", "define", 0,
         3600, local(2026, 12, 7, 1, 0)},
        {"monthly day past the month's end carries over", aprilTenth, "monthly", "define", 31,
         43200, local(2026, 5, 1, 12, 0)},
        {"monthly open on another day", aprilTenth, "monthly", "open", 31, 0, -1},
        {"monthly open on its day", local(2026, 4, 30, 8, 0), "monthly", "open", 30, 0, 0},
        {"once, a past day", decemberSeventh, "once", "define", local(2026, 11, 1), 3600,
         local(2026, 11, 1, 1, 0)},
        {"once open today", decemberSeventh, "once", "open", local(2026, 12, 7), 0, 0},
        {"unknown schedule keeps the moment, the time is added", decemberSeventh, "yearly",
         "define", 0, 100, 12445, 12345},
        {"unknown timing keeps the day's midnight", decemberSeventh, "daily", "sometimes", 0, 0,
         local(2026, 12, 7)},
    };
    for (const Case& c : cases) {
        clock.set(c.now);
        WatchSettings w = item(c.schedule, c.timing, c.date, c.time);
        w.nextCheck = c.nextBefore;
        computeNextCheck(w, false, clock, &prompter);
        EXPECT_EQ(w.nextCheck, c.expected) << c.what;
    }
    EXPECT_TRUE(prompter.messages().empty());
    // Wrapping past Saturday: Monday only, seen from Tuesday, is six days on.
    clock.set(tuesday);
    EXPECT_EQ(nextWeekdayMidnight(1 << 1, clock), local(2026, 12, 8) + 6 * 86400);
}

TEST_F(ScheduleTest, SetTimeIsServedOnceAndDueAgainNextDay) {
    clock.set(local(2026, 12, 7, 8, 0));
    WatchSettings w = item("daily", "defined", 0, 30600);
    computeNextCheck(w, false, clock, &prompter);
    EXPECT_EQ(w.nextCheck, local(2026, 12, 7, 8, 30));

    // The check runs at its moment; recomputing within the next minute must not make it due.
    clock.set(local(2026, 12, 7, 8, 30));
    w.lastCheck = clock.now();
    w.nextCheck = -1;
    clock.advance(5);
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, -1);
    computeNextCheck(w, false, clock, &prompter); // a restart does not repeat it either
    EXPECT_EQ(w.nextCheck, -1);

    // The next day's recomputation (the midnight round) gives the next set time.
    clock.set(local(2026, 12, 8, 0, 0, 1));
    computeNextCheck(w, true, clock, &prompter);
    EXPECT_EQ(w.nextCheck, local(2026, 12, 8, 8, 30));
}

TEST_F(ScheduleTest, DaylightSavingDayAndYearEnd) {
    useZone("Europe/Berlin");
    // 2026-03-29: clocks go from 02:00 to 03:00; the day has 23 hours.
    clock.set(local(2026, 3, 29, 12, 0));
    EXPECT_EQ(todayMidnight(clock), local(2026, 3, 29));
    EXPECT_EQ(local(2026, 3, 30) - todayMidnight(clock), 23 * 3600);
    WatchSettings open = item("daily", "open");
    computeNextCheck(open, false, clock, &prompter);
    EXPECT_EQ(open.nextCheck, 0);
    WatchSettings inter = item("daily", "inter", 0, 600);
    inter.lastCheck = clock.now();
    inter.nextCheck = -1;
    computeNextCheck(inter, true, clock, &prompter);
    EXPECT_EQ(inter.nextCheck, clock.now() + 600);
    // Late in the evening of the longer autumn day, today is still the same date.
    clock.set(local(2026, 10, 25, 23, 59, 59));
    EXPECT_EQ(todayMidnight(clock), local(2026, 10, 25));
    EXPECT_EQ(local(2026, 10, 26) - todayMidnight(clock), 25 * 3600);

    // New Year's Eve 2026 is a Thursday: Friday's midnight lies in the next year.
    clock.set(local(2026, 12, 31, 20, 0));
    EXPECT_EQ(nextWeekdayMidnight(1 << 5, clock), local(2027, 1, 1));
    WatchSettings monthly = item("monthly", "define", 32, 0);
    computeNextCheck(monthly, false, clock, &prompter);
    EXPECT_EQ(monthly.nextCheck, local(2027, 1, 1));
}

TEST_F(ScheduleTest, MomentsAtTheLimitsSaturateAndAOneOffWithoutMomentIsCheckedOnce) {
    constexpr std::time_t kMax = std::numeric_limits<std::time_t>::max();
    constexpr std::time_t kMin = std::numeric_limits<std::time_t>::min();
    EXPECT_EQ(addSeconds(kMax - 5, 10), kMax);
    EXPECT_EQ(addSeconds(kMin + 5, -10), kMin);
    EXPECT_EQ(addSeconds(100, -30), 70);
    EXPECT_EQ(secondsBetween(kMin + 1, 1000), kMax);
    EXPECT_EQ(secondsBetween(1000, kMin + 1), kMin);
    EXPECT_EQ(secondsBetween(1000, 1060), 60);

    clock.set(local(2026, 12, 7, 9, 0));
    WatchSettings far = item("once", "define", kMax - 10, 2147483647);
    computeNextCheck(far, false, clock, &prompter);
    EXPECT_EQ(far.nextCheck, kMax);
    WatchSettings interval = item("daily", "inter", 0, 2147483647);
    interval.lastCheck = kMax - 1;
    interval.nextCheck = -1;
    computeNextCheck(interval, true, clock, &prompter);
    EXPECT_EQ(interval.nextCheck, kMax);

    // No date and no time: due at the start, once; after its check it waits.
    WatchSettings none = item("once", "define");
    computeNextCheck(none, false, clock, &prompter);
    EXPECT_EQ(none.nextCheck, 0);
    computeNextCheck(none, true, clock, &prompter); // another item's check: stays due
    EXPECT_EQ(none.nextCheck, 0);
    none.lastCheck = clock.now();
    none.nextCheck = -1;
    computeNextCheck(none, true, clock, &prompter);
    EXPECT_EQ(none.nextCheck, -1);
}
