#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/ScheduleText.h"
#include "support/LocalTime.h"

#include <gtest/gtest.h>

using namespace tw;

namespace {

struct Case {
    const char* schedule;
    const char* timing;
    std::time_t date; // a weekday mask, a day of the month, or a moment (once: filled in below)
    int time;
    const char* expected; // UTF-8
};

WatchSettings itemOf(const Case& c) {
    WatchSettings item;
    item.schedule = c.schedule;
    item.timing = c.timing;
    item.dateValue = c.date;
    item.timeValue = c.time;
    return item;
}

} // namespace

// Every schedule with every timing; the date of "once" is read in local time.
TEST(ScheduleText, EveryScheduleWithEveryTiming) {
    test::ZoneGuard zone{"Asia/Tokyo"};
    const std::time_t onceDate = test::localTime(2027, 3, 9, 23, 30);
    const Case cases[] = {
        {"daily", "open", 0, 0, "毎日起動時"},
        {"daily", "inter", 0, 5400, "毎日01時間30分間隔"},
        {"daily", "defined", 0, 8 * 3600 + 30 * 60, "毎日08時30分00秒"},
        {"weekly", "open", 0x7f, 0, "毎週[日月火水木金土]起動時"},
        {"weekly", "inter", 0x41, 45, "毎週[日土]45秒間隔"},
        {"weekly", "defined", 0x0a, 8 * 3600 + 30 * 60, "毎週[月水]08時30分00秒"},
        {"monthly", "open", 15, 0, "毎月15日起動時"},
        {"monthly", "inter", 1, 3725, "毎月1日01時間02分05秒間隔"},
        {"monthly", "defined", 31, 23 * 3600 + 59 * 60 + 59, "毎月31日23時59分59秒"},
        {"once", "open", onceDate, 0, "27年03月09日起動時"},
        {"once", "inter", onceDate, 600, "27年03月09日10分間隔"},
        {"once", "defined", onceDate, 7, "27年03月09日00時00分07秒"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.schedule) + " " + c.timing);
        EXPECT_EQ(fromCp932(describeSchedule(itemOf(c))), c.expected);
        EXPECT_EQ(describeSchedule(itemOf(c)), jp(c.expected));
    }
}

// Words are matched by where they first occur in the column texts, and whole days drop out of
// both time texts.
TEST(ScheduleText, WordsAndSpansAtTheirEdges) {
    const Case cases[] = {
        {"", "", 0, 0, "毎日起動時"},                      // empty words match the first column
        {"dai", "inter", 0, 86400, "毎日間隔"},            // a whole day shows no time part
        {"weekly", "inter", 0, 90000, "毎週[]01時間間隔"}, // one day and an hour
        {"ly", "open", 0, 0, "起動時"},                    // found, but not at a column
        {"yearly", "hourly", 0, 60, ""},                   // found nowhere
        {"daily", "defined", 0, 86400 + 62, "毎日00時01分02秒"},
        {"weekly", "define", 0x80, 0, "毎週[]00時00分00秒"}, // bit 7 names no day
        {"daily", "inter", 0, 0, "毎日間隔"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.schedule + "' '" + c.timing + "'");
        EXPECT_EQ(fromCp932(describeSchedule(itemOf(c))), c.expected);
    }
}
