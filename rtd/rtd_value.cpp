#include "rtd/rtd_value.h"

#include "core/number_text.h"
#include "core/text_encoding.h"

#include <cstring>

static bool is_high_surrogate(WCHAR unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

void make_rtd_value(const char *value, RtdValue *out)
{
    out->is_number = false;
    out->number = 0.0;
    if (!value) {
        out->text[0] = ' ';
        out->length = 1;
        return;
    }
    if (cell_number(value, &out->number)) {
        out->is_number = true;
        out->length = 0;
        return;
    }
    // A value holds at most VALUE_TEXT_SIZE - 1 bytes, none of which gives more than one unit.
    WCHAR wide[VALUE_TEXT_SIZE];
    size_t length = static_cast<size_t>(value_to_wide(value, wide, static_cast<int>(VALUE_TEXT_SIZE)));
    if (length > RTD_TEXT_MAX) {
        length = RTD_TEXT_MAX;
        // The cut must not leave half a character behind.
        if (is_high_surrogate(wide[length - 1]))
            --length;
    }
    std::memcpy(out->text, wide, length * sizeof(WCHAR));
    out->length = length;
}
