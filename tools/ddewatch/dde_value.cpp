#include "dde_value.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

unsigned read16(const unsigned char *p)
{
    return p[0] | (p[1] << 8);
}

void append_printable(const unsigned char *p, size_t n, std::string *out)
{
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = p[i];
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out->append(hex);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}

const char *error_text(unsigned code)
{
    switch (code) {
    case 0: return "#NULL!";
    case 7: return "#DIV/0!";
    case 15: return "#VALUE!";
    case 23: return "#REF!";
    case 29: return "#NAME?";
    case 36: return "#NUM!";
    case 42: return "#N/A";
    default: return nullptr;
    }
}

} // namespace

void format_number(double value, std::string *out)
{
    // The C runtimes disagree on how printf spells these.
    if (std::isnan(value)) {
        out->append("nan");
    } else if (std::isinf(value)) {
        out->append(value < 0 ? "-inf" : "inf");
    } else {
        char buf[40];
        snprintf(buf, sizeof buf, "%.15g", value);
        out->append(buf);
    }
}

void decode_text(const unsigned char *data, size_t size, std::string *out)
{
    const void *nul = size ? memchr(data, 0, size) : nullptr;
    append_printable(data, nul ? static_cast<const unsigned char *>(nul) - data : size, out);
}

void decode_utf16_text(const unsigned char *data, size_t size, std::string *out)
{
    std::string utf8;
    for (size_t i = 0; i + 1 < size; i += 2) {
        unsigned long c = read16(data + i);
        if (c == 0)
            break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < size && read16(data + i + 2) >= 0xDC00 &&
            read16(data + i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (read16(data + i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // half a pair
        }
        if (c < 0x80) {
            utf8.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            utf8.push_back(static_cast<char>(0xE0 | (c >> 12)));
            utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            utf8.push_back(static_cast<char>(0xF0 | (c >> 18)));
            utf8.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    append_printable(reinterpret_cast<const unsigned char *>(utf8.data()), utf8.size(), out);
}

/* XlTable, the spreadsheet's fast table format: blocks of a 16-bit type and a
   16-bit count of the bytes that follow, all little-endian. The first block is
   the table header
     0x0010 tdtTable   4 bytes: rows, columns
   and the cells follow row by row, in runs of one type per block:
     0x0001 tdtFloat   8 bytes a cell, IEEE 754 double
     0x0002 tdtString  a cell is a length byte n and n characters, no NUL
     0x0003 tdtBool    2 bytes a cell, 0 or 1
     0x0004 tdtError   2 bytes a cell, the error code (42 is #N/A)
     0x0005 tdtBlank   2 bytes: how many blank cells
     0x0006 tdtInt     2 bytes a cell, signed
     0x0007 tdtSkip    2 bytes: how many cells to leave as they are
   The number 12.5 in one cell (20 bytes):
     10 00 04 00 01 00 01 00  01 00 08 00  00 00 00 00 00 00 29 40
   The string " " in one cell (14 bytes):
     10 00 04 00 01 00 01 00  02 00 02 00  01 20
   GlobalSize may round a block up, so bytes after the last cell are not an
   error. */
bool decode_xltable(const unsigned char *data, size_t size, std::string *out)
{
    if (size < 8 || read16(data) != 0x0010 || read16(data + 2) != 4)
        return false;
    const size_t cells = static_cast<size_t>(read16(data + 4)) * read16(data + 6);
    if (cells == 0)
        return false;

    std::string text;
    size_t done = 0;
    size_t pos = 8;
    while (done < cells) {
        if (size - pos < 4)
            return false;
        const unsigned type = read16(data + pos);
        const size_t cb = read16(data + pos + 2);
        const unsigned char *p = data + pos + 4;
        pos += 4;
        if (cb > size - pos)
            return false;
        pos += cb;

        // First count the block's cells, so that nothing is printed from a
        // block that does not fit the table.
        size_t n = 0;
        switch (type) {
        case 0x0001:
            if (cb == 0 || cb % 8)
                return false;
            n = cb / 8;
            break;
        case 0x0002:
            for (size_t q = 0; q < cb; q += 1 + p[q], n++) {
                if (p[q] > cb - q - 1)
                    return false;
            }
            if (n == 0)
                return false;
            break;
        case 0x0003:
        case 0x0004:
        case 0x0006:
            if (cb == 0 || cb % 2)
                return false;
            n = cb / 2;
            break;
        case 0x0005:
        case 0x0007:
            if (cb != 2 || read16(p) == 0)
                return false;
            n = read16(p);
            break;
        default: return false;
        }
        if (n > cells - done)
            return false;

        size_t q = 0; // offset of the next cell within the block
        for (size_t i = 0; i < n; i++, done++) {
            if (done)
                text.push_back(' ');
            switch (type) {
            case 0x0001: {
                double d;
                memcpy(&d, p + q, 8); // the wire and every Windows target are little-endian
                q += 8;
                format_number(d, &text);
                break;
            }
            case 0x0002:
                text.push_back('"');
                append_printable(p + q + 1, p[q], &text);
                text.push_back('"');
                q += 1 + p[q];
                break;
            case 0x0003:
                text.append(read16(p + q) ? "TRUE" : "FALSE");
                q += 2;
                break;
            case 0x0004: {
                const char *e = error_text(read16(p + q));
                if (e) {
                    text.append(e);
                } else {
                    char buf[16];
                    snprintf(buf, sizeof buf, "#ERROR%u", read16(p + q));
                    text.append(buf);
                }
                q += 2;
                break;
            }
            case 0x0006: {
                int v = static_cast<int>(read16(p + q));
                if (v >= 0x8000)
                    v -= 0x10000;
                char buf[16];
                snprintf(buf, sizeof buf, "%d", v);
                text.append(buf);
                q += 2;
                break;
            }
            case 0x0005: text.append("<blank>"); break;
            case 0x0007: text.append("<skip>"); break;
            }
        }
    }
    out->append(text);
    return true;
}
