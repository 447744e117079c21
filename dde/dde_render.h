// Turns a value text into a DDE data handle in the format a transaction asks for.
#pragma once
#include <windows.h>
#include <ddeml.h>

#include "core/number_text.h"

#include <cstdint>

// Renders a value as the registry keeps it (UTF-8, or ANSI bytes that are no
// UTF-8). XlTable (compared on the low 16 bits of the format) gives a number
// block or a string block of the value in the ANSI code page, cut to 255
// characters; CF_UNICODETEXT the value in UTF-16 with a wide NUL; any other
// format the value in the ANSI code page with its NUL. Null when text is
// null or memory runs out. The DDE library owns the handle.
HDDEDATA render_dde_data(UINT format, HSZ item, const char *text);

// A number with its text: XlTable gets the number block, every other format
// the text as render_dde_data gives it. Null when memory runs out.
HDDEDATA render_dde_number(UINT format, HSZ item, double number, const char *text);

// A system time (core/clock.h) in local time: XlTable Excel's serial day
// number, the text formats "YYYY-MM-DD HH:MM:SS.mmm"; a single blank for 0
// (never) and for a time the system cannot convert.
HDDEDATA render_dde_time(UINT format, HSZ item, uint64_t time);
