// Turning the bytes of a DDE data block into the one-line text that ddewatch
// prints. Plain C++ with no Windows headers, so the native tests can use it.
#pragma once

#include <cstddef>
#include <string>

// Appends the cells of an XlTable block sequence to *out, separated by one
// blank: numbers as "%.15g" (inf, -inf, nan spelt so), strings in double
// quotes, booleans TRUE/FALSE, errors as the spreadsheet shows them (#N/A),
// integers in decimal, blank cells as <blank>, skipped cells as <skip>.
// Control characters in strings (below 0x20, and 0x7F) appear as \xHH, so
// that every value stays on its one output line.
// Returns false and leaves *out unchanged when the data is not one complete
// table: a header other than tdtTable with 4 bytes, rows or columns 0, a block
// that runs past `size`, a byte count that does not fit its type, an unknown
// type, or cells that do not add up to rows x columns. Never reads data[size]
// or beyond. Bytes after the last cell are ignored.
bool decode_xltable(const unsigned char *data, size_t size, std::string *out);

// Appends the text in data[0..size) up to its first NUL (or all of it when
// there is none) to *out, control characters as \xHH.
void decode_text(const unsigned char *data, size_t size, std::string *out);

// Appends the UTF-16LE text in data[0..size) up to its first wide NUL (or
// all whole units when there is none) to *out in UTF-8, control characters
// as \xHH and half a surrogate pair as U+FFFD.
void decode_utf16_text(const unsigned char *data, size_t size, std::string *out);

// Appends a number as "%.15g" does (12.5 gives 12.5), with inf, -inf and nan
// spelt the same on every C runtime.
void format_number(double value, std::string *out);
