#include "engine286/datetime.h"

#include "engine286/describe.h"

dbDateTime::dbDateTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year > 1900 ? year - 1900 : year;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    stamp = int32_t(std::mktime(&t));
}

bool dbDateTime::local(std::tm& out) const
{
    if (stamp == -1) return false;
    std::time_t t = stamp;
    return localtime_r(&t, &out) != nullptr;
}

// For no date every part is -1.
int32_t dbDateTime::year() const { std::tm t; return local(t) ? t.tm_year + 1900 : -1; }
int32_t dbDateTime::month() const { std::tm t; return local(t) ? t.tm_mon + 1 : -1; }
int32_t dbDateTime::day() const { std::tm t; return local(t) ? t.tm_mday : -1; }
int32_t dbDateTime::dayOfYear() const { std::tm t; return local(t) ? t.tm_yday + 1 : -1; }
int32_t dbDateTime::dayOfWeek() const { std::tm t; return local(t) ? t.tm_wday + 1 : -1; }
int32_t dbDateTime::hour() const { std::tm t; return local(t) ? t.tm_hour : -1; }
int32_t dbDateTime::minute() const { std::tm t; return local(t) ? t.tm_min : -1; }
int32_t dbDateTime::second() const { std::tm t; return local(t) ? t.tm_sec : -1; }

dbFieldDescriptor* dbDateTime::describeComponents()
{
    return dbFields<dbDateTime>()
        .field("stamp", &dbDateTime::stamp, dbField::Hashed | dbField::Indexed)
        .method("year", &dbDateTime::year)
        .method("month", &dbDateTime::month)
        .method("day", &dbDateTime::day)
        .method("dayOfYear", &dbDateTime::dayOfYear)
        .method("dayOfWeek", &dbDateTime::dayOfWeek)
        .method("hour", &dbDateTime::hour)
        .method("minute", &dbDateTime::minute)
        .method("second", &dbDateTime::second);
}
