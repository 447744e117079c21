#include "dde/dde_render.h"

#include "core/clock.h"
#include "core/excel_time.h"
#include "core/text_encoding.h"
#include "dde/dde_service.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

/*
 * XlTable, as a spreadsheet reads one cell. Blocks of a 16-bit type and a
 * 16-bit byte count, little-endian:
 *
 *   number 12.5 (20 bytes):  10 00 04 00 01 00 01 00 | 01 00 08 00 | <double>
 *                            tdtTable, 4, rows 1, cols 1  tdtFloat, 8
 *   string " " (14 bytes):   10 00 04 00 01 00 01 00 | 02 00 02 00 | 01 20
 *                                                      tdtString, n + 1, n, chars
 *
 * The string length is a single byte, so at most 255 characters travel.
 */
enum { tdtTable = 0x0010, tdtFloat = 0x0001, tdtString = 0x0002 };

constexpr size_t XLTABLE_NUMBER_SIZE = 20;
constexpr size_t XLTABLE_STRING_HEADER = 13;
constexpr size_t XLTABLE_STRING_MAX = 255;

static unsigned char *put_word(unsigned char *out, unsigned value)
{
    out[0] = static_cast<unsigned char>(value & 0xFF);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
    return out + 2;
}

static unsigned char *put_table_header(unsigned char *out)
{
    out = put_word(out, tdtTable);
    out = put_word(out, 4);
    out = put_word(out, 1);
    return put_word(out, 1);
}

// Creates the handle from a block and releases it; null when the block
// could not be allocated.
static HDDEDATA hand_over(unsigned char *block, size_t size, HSZ item, UINT format)
{
    if (!block)
        return nullptr;
    HDDEDATA handle = DdeCreateDataHandle(dde_instance, block, static_cast<DWORD>(size), 0, item, format, 0);
    std::free(block);
    return handle;
}

static HDDEDATA render_xltable_number(HSZ item, UINT format, double value)
{
    unsigned char *block = static_cast<unsigned char *>(std::malloc(XLTABLE_NUMBER_SIZE));
    if (block) {
        unsigned char *out = put_table_header(block);
        out = put_word(out, tdtFloat);
        out = put_word(out, 8);
        unsigned char bytes[8];
        std::memcpy(bytes, &value, 8);
        uint16_t probe = 1;
        bool little_endian = *reinterpret_cast<unsigned char *>(&probe) == 1;
        for (int i = 0; i < 8; ++i)
            out[i] = bytes[little_endian ? i : 7 - i];
    }
    return hand_over(block, XLTABLE_NUMBER_SIZE, item, format);
}

static HDDEDATA render_xltable(HSZ item, UINT format, const char *text)
{
    double value = 0.0;
    if (cell_number(text, &value))
        return render_xltable_number(item, format, value);

    size_t length = std::strlen(text);
    if (length > XLTABLE_STRING_MAX)
        length = XLTABLE_STRING_MAX;
    size_t size = XLTABLE_STRING_HEADER + length;
    unsigned char *block = static_cast<unsigned char *>(std::malloc(size));
    if (block) {
        unsigned char *out = put_table_header(block);
        out = put_word(out, tdtString);
        out = put_word(out, static_cast<unsigned>(length + 1));
        out[0] = static_cast<unsigned char>(length);
        std::memcpy(out + 1, text, length);
    }
    return hand_over(block, size, item, format);
}

// UTF-16 with a wide NUL: the one format in which every value arrives whole.
static HDDEDATA render_unicode(HSZ item, UINT format, const char *text)
{
    WCHAR wide[VALUE_TEXT_SIZE];
    int length = value_to_wide(text, wide, static_cast<int>(VALUE_TEXT_SIZE));
    return DdeCreateDataHandle(dde_instance, reinterpret_cast<LPBYTE>(wide),
                               static_cast<DWORD>((length + 1) * sizeof(WCHAR)), 0, item, format, 0);
}

HDDEDATA render_dde_data(UINT format, HSZ item, const char *text)
{
    if (!text)
        return nullptr;
    // Wine hands registered formats to the callback sign-extended (0xFFFFC0xx).
    format &= 0xFFFF;
    if (format == CF_UNICODETEXT)
        return render_unicode(item, format, text);
    // XlTable and every other format carry the ANSI code page.
    char ansi[VALUE_TEXT_SIZE];
    if (!is_ascii(text)) {
        value_to_ansi(text, ansi, sizeof ansi);
        text = ansi;
    }
    if (format == (xltable_format & 0xFFFF))
        return render_xltable(item, format, text);
    return DdeCreateDataHandle(dde_instance, reinterpret_cast<LPBYTE>(const_cast<char *>(text)),
                               static_cast<DWORD>(std::strlen(text) + 1), 0, item, format, 0);
}

HDDEDATA render_dde_number(UINT format, HSZ item, double number, const char *text)
{
    if ((format & 0xFFFF) == (xltable_format & 0xFFFF))
        return render_xltable_number(item, format & 0xFFFF, number);
    return render_dde_data(format, item, text);
}

HDDEDATA render_dde_time(UINT format, HSZ item, uint64_t time)
{
    SYSTEMTIME local;
    if (!local_time_of(time, &local))
        return render_dde_data(format, item, " ");
    char text[TIME_TEXT_SIZE];
    format_time_text(local, text, sizeof text);
    return render_dde_number(format, item, excel_serial(local), text);
}
