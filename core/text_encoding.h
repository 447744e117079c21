// Values as the registry keeps them, in the encodings each face hands out.
// A value is the text the feed sent: UTF-8, or, from a feed that sends the
// ANSI code page, bytes that are not valid UTF-8, which are kept as they came.
#pragma once
#include <windows.h>

#include <cstddef>

// A value's longest text, 1023 bytes, and its NUL.
constexpr size_t VALUE_TEXT_SIZE = 1024;

// True when every byte of the NUL-terminated text is below 0x80: the text is
// then the same in UTF-8, in the ANSI code page and, unit by unit, in UTF-16.
bool is_ascii(const char *text);

// Writes value in the ANSI code page to out (NUL-terminated, at most size - 1
// bytes) and returns its length. A character the code page lacks becomes '?'
// (no best-fit look-alikes); a value that is not valid UTF-8, or whose
// conversion does not fit, is copied as it is, cut to size - 1 bytes.
size_t value_to_ansi(const char *value, char *out, size_t size);

// Writes value in UTF-16 to out (NUL-terminated, at most capacity - 1 units)
// and returns its length in units: from UTF-8, or from the ANSI code page
// when the value is not valid UTF-8. 0, with out empty, for an empty value
// or one that does not fit.
int value_to_wide(const char *value, WCHAR *out, int capacity);
