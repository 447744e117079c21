// A value's text in the ANSI code page or in UTF-16, converted when a face hands it out.
#include "core/text_encoding.h"

#include <cstring>

bool is_ascii(const char *text)
{
    for (; *text; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80)
            return false;
    }
    return true;
}

static size_t copy_cut(const char *value, size_t length, char *out, size_t size)
{
    if (length > size - 1)
        length = size - 1;
    std::memcpy(out, value, length);
    out[length] = '\0';
    return length;
}

size_t value_to_ansi(const char *value, char *out, size_t size)
{
    if (size == 0)
        return 0;
    size_t length = std::strlen(value);
    if (is_ascii(value))
        return copy_cut(value, length, out, size);

    // No character takes more units in UTF-16 than bytes in UTF-8.
    WCHAR wide[VALUE_TEXT_SIZE];
    int wide_length = length < sizeof wide / sizeof wide[0]
                          ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, static_cast<int>(length),
                                                wide, static_cast<int>(sizeof wide / sizeof wide[0]))
                          : 0;
    int ansi_length = wide_length > 0 ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wide_length, out,
                                                            static_cast<int>(size - 1), "?", nullptr)
                                      : 0;
    if (ansi_length <= 0)
        return copy_cut(value, length, out, size);
    out[ansi_length] = '\0';
    return static_cast<size_t>(ansi_length);
}

int value_to_wide(const char *value, WCHAR *out, int capacity)
{
    if (capacity <= 0)
        return 0;
    int length = static_cast<int>(std::strlen(value));
    int wide_length = 0;
    if (length > 0) {
        wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, length, out, capacity - 1);
        // Not UTF-8: a feed that sends the ANSI code page.
        if (wide_length <= 0)
            wide_length = MultiByteToWideChar(CP_ACP, 0, value, length, out, capacity - 1);
    }
    if (wide_length <= 0)
        wide_length = 0;
    out[wide_length] = 0;
    return wide_length;
}
