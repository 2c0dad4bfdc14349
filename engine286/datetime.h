#pragma once
// Date and time values of records: seconds since 1970-01-01 00:00 UTC, -1
// meaning no date; the calendar parts are methods that queries can call.

#include <cstdint>
#include <ctime>

#include "engine286/class.h"

class dbDateTime {
public:
    int32_t stamp;

    dbDateTime() : stamp(-1) {}
    explicit dbDateTime(int32_t seconds) : stamp(seconds) {}
    // Local time; a year above 1900 is counted from year 0, a smaller one
    // from 1900; the month is 1 to 12.
    dbDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

    static dbDateTime current() { return dbDateTime(int32_t(std::time(nullptr))); }
    bool isValid() const { return stamp != -1; }

    int32_t year() const;
    int32_t month() const;
    int32_t day() const;
    int32_t dayOfYear() const;
    int32_t dayOfWeek() const;
    int32_t hour() const;
    int32_t minute() const;
    int32_t second() const;

    bool operator==(const dbDateTime& o) const { return stamp == o.stamp; }
    bool operator!=(const dbDateTime& o) const { return stamp != o.stamp; }
    bool operator<(const dbDateTime& o) const { return stamp < o.stamp; }

    static dbFieldDescriptor* describeComponents();

private:
    // Local calendar parts; all -1 for no date or a value localtime rejects.
    bool local(std::tm& out) const;
};
