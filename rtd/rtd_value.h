// A field's value as an RTD topic carries it: a number as a number, any
// other text in UTF-16.
#pragma once
#include <windows.h>

#include "core/topic_names.h"

#include <cstddef>
#include <cstdint>

// The most UTF-16 units of a text value: what Excel's RTD takes.
constexpr size_t RTD_TEXT_MAX = 255;

struct RtdValue {
    bool is_number;  // number holds it (VT_R8); otherwise text (VT_BSTR)
    double number;
    WCHAR text[RTD_TEXT_MAX];
    size_t length;  // units in text
};

// Fills *out from a stored value: a number by the rule XlTable cells follow
// (cell_number); any other value in UTF-16, from UTF-8 or, when it is not
// valid UTF-8, from the ANSI code page, cut to RTD_TEXT_MAX units without
// splitting a surrogate pair; no value (null) is a single blank.
void make_rtd_value(const char *value, RtdValue *out);

// A system time (core/clock.h) as a number, Excel's serial day of its local
// time (VT_R8, which a cell shows with its date format); a single blank for
// 0 (never) and for a time the system cannot convert.
void make_rtd_time(uint64_t time, RtdValue *out);

// An item of Status as it stands: feed as text, since and clock as times,
// fields as a number.
void make_rtd_status(StatusItem item, RtdValue *out);
