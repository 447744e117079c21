#include "rtd/rtd_value.h"

#include "core/clock.h"
#include "core/excel_time.h"
#include "core/number_text.h"
#include "core/status_topic.h"
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

void make_rtd_time(uint64_t time, RtdValue *out)
{
    SYSTEMTIME local;
    if (!local_time_of(time, &local)) {
        make_rtd_value(nullptr, out);
        return;
    }
    out->is_number = true;
    out->number = excel_serial(local);
    out->length = 0;
}

void make_rtd_status(StatusItem item, RtdValue *out)
{
    StatusValue value = status_value(item);
    switch (value.kind) {
    case STATUS_VALUE_TEXT:
        make_rtd_value(value.text, out);
        return;
    case STATUS_VALUE_TIME:
        make_rtd_time(value.time, out);
        return;
    case STATUS_VALUE_NUMBER:
        out->is_number = true;
        out->number = value.number;
        out->length = 0;
        return;
    }
}
