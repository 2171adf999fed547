#include "core/watch/ScheduleText.h"

#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"

#include <cstdio>
#include <ctime>

namespace tw {

namespace {

std::string twoDigits(long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%02lld", value);
    return text;
}

std::string dayPart(const WatchSettings& item) {
    switch (item.scheduleKind()) {
    case WatchSettings::ScheduleKind::Daily:
        return jp("毎日");
    case WatchSettings::ScheduleKind::Weekly: {
        static const char* const kDays[] = {"日", "月", "火", "水", "木", "金", "土"};
        std::string text = jp("毎週[");
        for (int bit = 0; bit < 7; ++bit) {
            if (item.dateValue & (std::time_t{1} << bit))
                text += jp(kDays[bit]);
        }
        return text + "]";
    }
    case WatchSettings::ScheduleKind::Monthly:
        return jp("毎月") + std::to_string(static_cast<long long>(item.dateValue)) + jp("日");
    case WatchSettings::ScheduleKind::Once: {
        std::tm local{};
        const std::time_t when = item.dateValue;
        localtime_r(&when, &local);
        return twoDigits(local.tm_year % 100) + jp("年") + twoDigits(local.tm_mon + 1) + jp("月") +
               twoDigits(local.tm_mday) + jp("日");
    }
    case WatchSettings::ScheduleKind::Other:
        break;
    }
    return {};
}

// Whole days are left out: an interval of exactly one day reads as no time at all.
std::string intervalText(long long seconds) {
    const long long hours = seconds / 3600 - (seconds / 86400) * 24;
    const long long minutes = seconds / 60 - (seconds / 3600) * 60;
    const long long rest = seconds % 60;
    std::string text;
    if (hours != 0)
        text += twoDigits(hours) + jp("時間");
    if (minutes != 0)
        text += twoDigits(minutes) + jp("分");
    if (rest != 0)
        text += twoDigits(rest) + jp("秒");
    return text;
}

std::string timePart(const WatchSettings& item) {
    const long long seconds = item.timeValue;
    switch (item.timingKind()) {
    case WatchSettings::TimingKind::Open:
        return jp("起動時");
    case WatchSettings::TimingKind::Interval:
        return intervalText(seconds) + jp("間隔");
    case WatchSettings::TimingKind::SetTime:
        return twoDigits(seconds / 3600 % 24) + jp("時") + twoDigits(seconds / 60 % 60) + jp("分") +
               twoDigits(seconds % 60) + jp("秒");
    case WatchSettings::TimingKind::Other:
        break;
    }
    return {};
}

} // namespace

std::string describeSchedule(const WatchSettings& item) {
    return dayPart(item) + timePart(item);
}

} // namespace tw
