// kernel32: code page conversions and the last error, for UTF-8 and for the
// ANSI code page, which is 1252 as under Wine with an English locale.
//
// The conversions follow what Wine 8 was measured to do, quirks included:
// - MultiByteToWideChar(CP_UTF8): every invalid piece becomes one U+FFFD, so
//   an overlong form, an encoded surrogate or a value above U+10FFFF gives
//   two to four of them (the bytes that proved the sequence wrong form one,
//   each byte after it one more). A sequence cut short by the end of the
//   input swallows the rest of the input, even the terminating NUL of
//   length -1. With MB_ERR_INVALID_CHARS the output is still written, then
//   the call fails with ERROR_NO_UNICODE_TRANSLATION. A surrogate pair whose
//   second half finds no room leaves the first half alone in the buffer.
// - WideCharToMultiByte(CP_ACP): each UTF-16 unit alone, so a surrogate pair
//   becomes two default characters; the default character is the first byte
//   of default_char, or '?' when it is null. A buffer too small is filled
//   before the call fails, and *used_default covers the part converted.
// - WideCharToMultiByte(CP_UTF8), flags 0: a lone surrogate becomes U+FFFD.
//   A buffer too small fails with nothing promised about its contents.
// - Any negative length means NUL-terminated, the NUL included.
// Beyond what the program uses, nothing is imitated: other code pages fail
// with ERROR_INVALID_PARAMETER, and flags other than MB_ERR_INVALID_CHARS
// and WC_NO_BEST_FIT_CHARS (so also best-fit mapping, flags 0 to CP_ACP)
// fail with ERROR_INVALID_FLAGS.
#include "state.h"

#include <cstdint>
#include <string>
#include <algorithm>
#include <cstring>

static thread_local DWORD last_error = 0;

DWORD GetLastError(void)
{
    return last_error;
}

void standin::set_last_error(DWORD error)
{
    last_error = error;
}

static int fail(DWORD error)
{
    last_error = error;
    return 0;
}

// Bytes 0x80 to 0x9F of code page 1252; the five it leaves unassigned map to
// the C1 control of the same number, as on Windows. The rest is Latin-1.
static const WCHAR CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

static WCHAR from_cp1252(unsigned char byte)
{
    return byte >= 0x80 && byte < 0xA0 ? CP1252_HIGH[byte - 0x80] : byte;
}

// False when code page 1252 has no byte for the unit.
static bool to_cp1252(WCHAR unit, char *byte)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        *byte = static_cast<char>(unit);
        return true;
    }
    for (int i = 0; i < 32; i++) {
        if (CP1252_HIGH[i] == unit) {
            *byte = static_cast<char>(0x80 + i);
            return true;
        }
    }
    return false;
}

static bool is_ansi(UINT codepage)
{
    return codepage == CP_ACP || codepage == 1252;
}

static const uint32_t NOT_A_CHARACTER = 0xFFFFFFFF;

// Decodes the sequence whose lead byte (0x80 or above) is at text[*pos] and
// moves *pos past the bytes it takes: on failure, past the bytes that showed
// the sequence to be wrong, so each later byte is looked at again.
static uint32_t decode_utf8(const unsigned char *text, size_t size, size_t *pos)
{
    unsigned char lead = text[(*pos)++];
    int follow;
    if (lead >= 0xC2 && lead <= 0xDF)
        follow = 1;
    else if (lead >= 0xE0 && lead <= 0xEF)
        follow = 2;
    else if (lead >= 0xF0 && lead <= 0xF4)
        follow = 3;
    else
        return NOT_A_CHARACTER;  // a continuation byte, C0/C1 (always overlong) or F5-FF
    if (size - *pos < static_cast<size_t>(follow)) {
        *pos = size;  // Wine drops the rest of the input here
        return NOT_A_CHARACTER;
    }
    uint32_t value = lead & (0x7F >> (follow + 1));
    for (int left = follow - 1; left >= 0; left--) {
        unsigned char next = text[*pos];
        if ((next & 0xC0) != 0x80)
            return NOT_A_CHARACTER;
        value = (value << 6) | (next & 0x3F);
        // value is now the code point without its last 6 * left bits.
        if (left == 1 && value >= (0x110000 >> 6))
            return NOT_A_CHARACTER;  // above U+10FFFF; Wine leaves this byte unread
        (*pos)++;
        bool overlong = (left == 2 && value < (0x10000 >> 12)) || (left == 1 && value < (0x800 >> 6)) ||
                        (left == 0 && value < 0x80);
        bool surrogate = left == 1 && value >= (0xD800 >> 6) && value <= (0xDFFF >> 6);
        if (overlong || surrogate)
            return NOT_A_CHARACTER;
    }
    return value;
}

int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int wide_size)
{
    if (!text || length == 0 || wide_size < 0 || (wide_size > 0 && !wide))
        return fail(ERROR_INVALID_PARAMETER);
    size_t size = length < 0 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    if (codepage != CP_UTF8 && !is_ansi(codepage))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS))
        return fail(ERROR_INVALID_FLAGS);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    bool counting = wide_size == 0;
    size_t capacity = static_cast<size_t>(wide_size);
    size_t pos = 0, count = 0;
    bool invalid = false;
    while (pos < size && (counting || count < capacity)) {
        uint32_t c;
        if (is_ansi(codepage))
            c = from_cp1252(bytes[pos++]);
        else if (bytes[pos] < 0x80)
            c = bytes[pos++];
        else
            c = decode_utf8(bytes, size, &pos);
        if (c == NOT_A_CHARACTER) {
            invalid = true;
            c = 0xFFFD;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            if (!counting)
                wide[count] = static_cast<WCHAR>(0xD800 | (c >> 10));
            count++;
            if (!counting && count == capacity)
                break;
            c = 0xDC00 | (c & 0x3FF);
        }
        if (!counting)
            wide[count] = static_cast<WCHAR>(c);
        count++;
    }
    if (pos < size)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (invalid && (flags & MB_ERR_INVALID_CHARS))
        return fail(ERROR_NO_UNICODE_TRANSLATION);
    return static_cast<int>(count);
}

// CP_UTF8 with flags 0, as the program's path is converted: a lone
// surrogate becomes U+FFFD; default_char and used_default must be null.
static int wide_to_utf8(DWORD flags, LPCWSTR wide, size_t units, LPSTR text, int size, LPCSTR default_char,
                        LPBOOL used_default)
{
    if (flags != 0 || default_char || used_default)
        return fail(ERROR_INVALID_PARAMETER);
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (size == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(size))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::copy(out.begin(), out.end(), text);
    return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int length, LPSTR text, int size,
                        LPCSTR default_char, LPBOOL used_default)
{
    if (!wide || length == 0 || size < 0 || (size > 0 && !text))
        return fail(ERROR_INVALID_PARAMETER);
    size_t units = static_cast<size_t>(length);
    if (length < 0) {
        units = 0;
        while (wide[units])
            units++;
        units++;
    }
    if (codepage == CP_UTF8)
        return wide_to_utf8(flags, wide, units, text, size, default_char, used_default);
    if (!is_ansi(codepage))
        return fail(ERROR_INVALID_PARAMETER);
    if (flags != WC_NO_BEST_FIT_CHARS)
        return fail(ERROR_INVALID_FLAGS);
    char fallback = default_char ? default_char[0] : '?';
    bool counting = size == 0;
    size_t capacity = static_cast<size_t>(size);
    size_t i = 0;
    bool used = false;
    for (; i < units && (counting || i < capacity); i++) {
        char byte;
        if (!to_cp1252(wide[i], &byte)) {
            byte = fallback;
            used = true;
        }
        if (!counting)
            text[i] = byte;
    }
    if (used_default)
        *used_default = used ? TRUE : FALSE;
    if (i < units)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<int>(units);
}
