// When a value text is a number: the one rule of both faces, so that a
// value reaches an XlTable cell and an RTD topic alike.
#pragma once

// True when the whole text (after leading white space) is one number as
// strtod reads it.
bool is_numeric(const char *text);

// True, with the number in *value, when text is numeric and finite: an
// infinity or a not-a-number passes is_numeric, but no cell can hold it.
bool cell_number(const char *text, double *value);
