#include "core/excel_time.h"

#include <cstdint>
#include <cstdio>

constexpr int64_t MS_PER_DAY = 86400000;

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar
// (H. Hinnant's days_from_civil): eras of 400 years, March first, so that
// the leap day ends the year.
static int64_t days_from_civil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

double excel_serial(const SYSTEMTIME &time)
{
    static const int64_t EXCEL_EPOCH = days_from_civil(1899, 12, 30);
    int64_t days = days_from_civil(time.wYear, time.wMonth, time.wDay) - EXCEL_EPOCH;
    int64_t ms = ((time.wHour * 60 + time.wMinute) * 60 + time.wSecond) * 1000 + time.wMilliseconds;
    // One division of whole milliseconds: the nearest double to the instant.
    return static_cast<double>(days * MS_PER_DAY + ms) / static_cast<double>(MS_PER_DAY);
}

size_t format_time_text(const SYSTEMTIME &time, char *out, size_t size)
{
    if (size == 0)
        return 0;
    int length = std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned(time.wYear),
                               unsigned(time.wMonth), unsigned(time.wDay), unsigned(time.wHour),
                               unsigned(time.wMinute), unsigned(time.wSecond), unsigned(time.wMilliseconds));
    if (length < 0)
        length = 0;
    return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}
