// A local time as Excel's serial day number and as text: known instants one
// per row, then every kind of day against the C library's calendar.
#include "core/excel_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

static SYSTEMTIME at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0)
{
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    time.wMilliseconds = static_cast<WORD>(ms);
    return time;
}

struct TimeCase {
    const char *name;
    SYSTEMTIME time;
    double serial;  // what Excel's DATE() + TIME() gives for it
    const char *text;
};

static const TimeCase TIME_CASES[] = {
    {"ExcelsFirstTrueDate", at(1900, 3, 1), 61, "1900-03-01 00:00:00.000"},
    {"YearTwoThousand", at(2000, 1, 1), 36526, "2000-01-01 00:00:00.000"},
    {"Midnight", at(2026, 12, 8), 46364, "2026-12-08 00:00:00.000"},
    {"LastMillisecondOfTheDay", at(2026, 12, 8, 23, 59, 59, 999), 46364 + 86399.999 / 86400,
     "2026-12-08 23:59:59.999"},
    {"LeapDay", at(2024, 2, 29, 13, 45, 30, 250), 45351 + 49530.25 / 86400, "2024-02-29 13:45:30.250"},
    {"DayAfterTheLeapDay", at(2024, 3, 1), 45352, "2024-03-01 00:00:00.000"},
    {"NoLeapDayIn2100", at(2100, 3, 1), 73110, "2100-03-01 00:00:00.000"},
    {"Noon", at(2026, 6, 30, 12), 46203.5, "2026-06-30 12:00:00.000"},
};

class TimeRendering : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeRendering, AsExcelsSerialAndAsText)
{
    const TimeCase &c = GetParam();
    EXPECT_NEAR(excel_serial(c.time), c.serial, 1e-6 / 86400);
    char text[TIME_TEXT_SIZE];
    EXPECT_EQ(format_time_text(c.time, text, sizeof text), TIME_TEXT_SIZE - 1);
    EXPECT_STREQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Instants, TimeRendering, testing::ValuesIn(TIME_CASES),
                         [](const testing::TestParamInfo<TimeCase> &info) { return info.param.name; });

// 1970-01-01 is Excel's day 25569; every day from 1900-03-01 to 2400,
// with a time of day that walks the milliseconds, must be that many days
// from it and read back as the C library writes the date.
TEST(TimeRenderingAgainstTheCalendar, EveryDayOfFiveCenturies)
{
    const long long first = -25508, last = 157046;  // 1900-03-01, 2399-12-31
    for (long long day = first; day <= last; ++day) {
        int ms = static_cast<int>((day * 7919) % 86400000 + 86400000) % 86400000;
        time_t t = static_cast<time_t>(day * 86400 + ms / 1000);
        struct tm parts;
        gmtime_r(&t, &parts);
        SYSTEMTIME time = at(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                             parts.tm_min, parts.tm_sec, ms % 1000);
        double serial = excel_serial(time);
        double expected = 25569 + static_cast<double>(day) + ms / 86400000.0;
        ASSERT_NEAR(serial, expected, 1e-6 / 86400) << day;
        // Read back to the millisecond.
        ASSERT_EQ(std::llround((serial - 25569) * 86400000.0), day * 86400000 + ms) << day;

        char want[64];
        strftime(want, sizeof want, "%Y-%m-%d %H:%M:%S", &parts);
        char text[TIME_TEXT_SIZE];
        format_time_text(time, text, sizeof text);
        char with_ms[80];
        std::snprintf(with_ms, sizeof with_ms, "%s.%03d", want, ms % 1000);
        ASSERT_STREQ(text, with_ms) << day;
    }
}
