#pragma once

#include <ctime>

namespace tw {

class Clock;
class Prompter;
class WatchSettings;

/// Sets the item's next due moment from its schedule and timing words and the clock: 0 due at
/// once, -1 not today, else the moment. `afterCheck` is false at load, true after any item's
/// check (a due item then stays due). An interval under 10 s is raised to 60 s, told once
/// through `prompter` (may be null).
void computeNextCheck(WatchSettings& item, bool afterCheck, const Clock& clock, Prompter* prompter);

/// While one lives on the calling thread, the time zone is looked up once rather than for each
/// item: the list computes every item's next moment after each check, and looking up the zone
/// means reading the whole environment.
class ScheduleZoneScope {
public:
    ScheduleZoneScope();
    ~ScheduleZoneScope();
    ScheduleZoneScope(const ScheduleZoneScope&) = delete;
    ScheduleZoneScope& operator=(const ScheduleZoneScope&) = delete;
};

// Local-time helpers of the check schedule. Midnights come from the C library's local-time
// conversion, with daylight saving decided by the library.

/// The local midnight of today's date.
std::time_t todayMidnight(const Clock& clock);
/// Midnight of the first day from today whose weekday bit (bit 0 Sunday .. bit 6 Saturday) is
/// set; yesterday's midnight when no bit is set. Days are added as whole blocks of 86400 s.
std::time_t nextWeekdayMidnight(int bits, const Clock& clock);
/// The next local midnight (today's date at hour 24).
std::time_t nextMidnight(const Clock& clock);
/// The local midnight of `day` in this month; a day past the month's end carries over.
std::time_t dayOfThisMonth(int day, const Clock& clock);
/// The local midnight of a calendar date (`month` 1 to 12), as a once item stores its date;
/// days and months past their end carry over.
std::time_t localMidnight(int year, int month, int day);

/// `moment + seconds`, held at the limits of time_t instead of overflowing.
std::time_t addSeconds(std::time_t moment, long long seconds);
/// `later - earlier`, held at the limits of time_t instead of overflowing.
std::time_t secondsBetween(std::time_t earlier, std::time_t later);

} // namespace tw
