#pragma once

#include <cstdlib>
#include <ctime>

namespace tw::test {

/// Seconds since 1970 of a local calendar time in the current TZ.
inline std::time_t localTime(int year, int month, int day, int hour = 0, int minute = 0,
                             int second = 0) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

/// Sets TZ for the test and restores the machine's zone when it goes.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) { use(zone); }
    ~ZoneGuard() {
        ::unsetenv("TZ");
        ::tzset();
    }
    static void use(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
};

} // namespace tw::test
