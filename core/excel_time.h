// Times as a spreadsheet keeps them: Excel's serial day number, and the
// text a cell in a text format shows. Pure functions of a SYSTEMTIME (the
// local wall time, core/clock.h): no clock, no time zone.
#pragma once
#include <windows.h>

#include <cstddef>

// "YYYY-MM-DD HH:MM:SS.mmm" and its NUL.
constexpr size_t TIME_TEXT_SIZE = 24;

// Days since 1899-12-30 00:00, the time of day as the fraction, to the
// millisecond: the number a cell formatted hh:mm:ss.000 shows as that time
// (Excel's serial for every date from 1900-03-01 on). 2024-02-29 00:00 is
// 45351.
double excel_serial(const SYSTEMTIME &time);

// Writes the time as "2024-02-29 13:45:30.250" into out (size bytes; the
// whole text needs TIME_TEXT_SIZE) and gives its length. Always
// NUL-terminated when size is above 0, cut to fit otherwise.
size_t format_time_text(const SYSTEMTIME &time, char *out, size_t size);
