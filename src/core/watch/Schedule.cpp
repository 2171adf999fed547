#include "core/watch/Schedule.h"

#include "core/platform/Clock.h"
#include "core/ports/Prompter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

namespace tw {

namespace {

std::tm localDate(const Clock& clock) {
    const std::time_t now = clock.now();
    std::tm date{};
    localtime_r(&now, &date);
    return date;
}

std::time_t midnightOf(int year, int month, int day, int hour = 0) {
    std::tm date{};
    date.tm_year = year;
    date.tm_mon = month;
    date.tm_mday = day;
    date.tm_hour = hour; // 24 is carried into the next day by the conversion
    date.tm_isdst = -1;
    return std::mktime(&date);
}

} // namespace

namespace {
thread_local int g_zoneScopes = 0;
thread_local bool g_zoneLookedUp = false;
} // namespace

ScheduleZoneScope::ScheduleZoneScope() {
    if (g_zoneScopes++ == 0) {
        g_zoneLookedUp = false;
    }
}

ScheduleZoneScope::~ScheduleZoneScope() {
    --g_zoneScopes;
}

std::time_t todayMidnight(const Clock& clock) {
    // The list computes every item's next moment after each check, and mktime looks at the
    // zone file every time: the answer for the same second in the same zone is kept.
    thread_local std::time_t cachedNow = -1;
    thread_local std::string cachedZone;
    thread_local std::time_t cachedMidnight = 0;
    const std::time_t now = clock.now();
    if (g_zoneScopes > 0 && g_zoneLookedUp && now == cachedNow) {
        return cachedMidnight;
    }
    g_zoneLookedUp = g_zoneScopes > 0;
    const char* zone = std::getenv("TZ");
    // A leading NUL cannot come from the environment: it stands for "TZ not set".
    const std::string_view zoneKey = zone ? std::string_view(zone) : std::string_view("\0", 1);
    if (now == cachedNow && zoneKey == cachedZone) {
        return cachedMidnight;
    }
    std::tm today{};
    localtime_r(&now, &today);
    cachedMidnight = midnightOf(today.tm_year, today.tm_mon, today.tm_mday);
    cachedNow = now;
    cachedZone = zoneKey;
    return cachedMidnight;
}

std::time_t nextWeekdayMidnight(int bits, const Clock& clock) {
    const std::time_t midnight = todayMidnight(clock);
    const int weekday = localDate(clock).tm_wday + 1; // 1 Sunday .. 7 Saturday
    for (int i = 0; i < 7; ++i) {
        int day = weekday + i;
        if (day > 7) {
            day -= 7;
        }
        if (bits & (1 << (day - 1))) {
            return midnight + static_cast<std::time_t>(i) * 86400;
        }
    }
    return midnight - 86400;
}

std::time_t nextMidnight(const Clock& clock) {
    const std::tm today = localDate(clock);
    return midnightOf(today.tm_year, today.tm_mon, today.tm_mday, 24);
}

std::time_t dayOfThisMonth(int day, const Clock& clock) {
    const std::tm today = localDate(clock);
    return midnightOf(today.tm_year, today.tm_mon, day);
}

std::time_t localMidnight(int year, int month, int day) {
    return midnightOf(year - 1900, month - 1, day);
}

std::time_t addSeconds(std::time_t moment, long long seconds) {
    std::time_t sum;
    if (__builtin_add_overflow(moment, seconds, &sum)) {
        return seconds < 0 ? std::numeric_limits<std::time_t>::min()
                           : std::numeric_limits<std::time_t>::max();
    }
    return sum;
}

std::time_t secondsBetween(std::time_t earlier, std::time_t later) {
    std::time_t difference;
    if (__builtin_sub_overflow(later, earlier, &difference)) {
        return later < earlier ? std::numeric_limits<std::time_t>::min()
                               : std::numeric_limits<std::time_t>::max();
    }
    return difference;
}

void computeNextCheck(WatchSettings& item, bool afterCheck, const Clock& clock,
                      Prompter* prompter) {
    if (afterCheck && item.nextCheck == WatchSettings::kDueNow) {
        return; // already due, stays due
    }
    switch (item.scheduleKind()) {
    case WatchSettings::ScheduleKind::Daily:
        item.nextCheck = todayMidnight(clock);
        break;
    case WatchSettings::ScheduleKind::Weekly:
        item.nextCheck = nextWeekdayMidnight(static_cast<int>(item.dateValue), clock);
        break;
    case WatchSettings::ScheduleKind::Monthly:
        // A day far past the month's end would carry the year beyond what mktime can hold.
        item.nextCheck = dayOfThisMonth(
            static_cast<int>(std::clamp<std::time_t>(item.dateValue, -400, 400)), clock);
        break;
    case WatchSettings::ScheduleKind::Once:
        item.nextCheck = item.dateValue;
        break;
    case WatchSettings::ScheduleKind::Other:
        break;
    }

    const std::time_t midnight = todayMidnight(clock);
    switch (item.timingKind()) {
    case WatchSettings::TimingKind::Open:
        item.nextCheck = item.nextCheck == midnight && !afterCheck ? WatchSettings::kDueNow
                                                                   : WatchSettings::kNotToday;
        break;
    case WatchSettings::TimingKind::Interval:
        if (item.nextCheck != midnight) {
            item.nextCheck = WatchSettings::kNotToday;
            break;
        }
        if (item.timeValue < 10) {
            item.timeValue = 60;
            if (prompter) {
                prompter->showMessage(jp("ウォッチ間隔が10秒以下のアイテムがあります。\n"
                                         "強制的に一分間隔に修正します。"),
                                      Prompter::Icon::Warning);
            }
        }
        if (afterCheck) {
            item.nextCheck = addSeconds(item.lastCheck, item.timeValue);
            if (item.nextCheck < clock.now()) {
                item.nextCheck = WatchSettings::kDueNow;
            }
        } else {
            item.nextCheck = WatchSettings::kDueNow;
        }
        break;
    case WatchSettings::TimingKind::SetTime:
        item.nextCheck = addSeconds(item.nextCheck, item.timeValue);
        // A set time is served once: a check that began at or after it must not be followed
        // by a second one within the minute in which an overdue moment still counts as due.
        // A moment of 0 (no date and time set) stands for "due now": after its one check it
        // waits like any served moment instead of being due again at once.
        if (item.lastCheck >= item.nextCheck && (item.nextCheck > 0 || afterCheck)) {
            item.nextCheck = WatchSettings::kNotToday;
        }
        break;
    case WatchSettings::TimingKind::Other:
        break;
    }
}

} // namespace tw
