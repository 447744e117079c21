// A field's value as an RTD topic carries it: a number as a number, any
// other text in UTF-16.
#pragma once
#include <windows.h>

#include <cstddef>

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
