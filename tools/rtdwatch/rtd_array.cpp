#include "rtd_array.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

void append_utf8(uint32_t c, std::string *out)
{
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// UTF-16 to UTF-8; a surrogate without its other half becomes U+FFFD.
void append_text(const std::u16string &text, std::string *out)
{
    out->push_back('"');
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c == '"') {
            out->append("\"\"");
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
            out->append(hex);
        } else {
            append_utf8(c, out);
        }
    }
    out->push_back('"');
}

void append_number(double value, std::string *out)
{
    if (std::isnan(value)) {
        out->append("nan");
        return;
    }
    if (std::isinf(value)) {
        out->append(value < 0 ? "-inf" : "inf");
        return;
    }
    // The fewest significant digits that read back as the same double, but
    // never fewer than the integer part has (up to 17), so that 1000 is not
    // written 1e+03.
    int digits = 1;
    char buf[40];
    for (; digits < 17; digits++) {
        snprintf(buf, sizeof buf, "%.*g", digits, value);
        if (strtod(buf, nullptr) == value)
            break;
    }
    const double magnitude = std::fabs(value);
    if (magnitude >= 1 && magnitude < 1e17) {
        int whole_digits = snprintf(buf, sizeof buf, "%.0f", std::floor(magnitude));
        if (digits < whole_digits)
            digits = whole_digits;
    }
    snprintf(buf, sizeof buf, "%.*g", digits, value);
    out->append(buf);
}

} // namespace

bool format_value(const RtdCell &cell, std::string *out)
{
    switch (cell.type) {
    case RTD_VT_R8: append_number(cell.r8, out); return true;
    case RTD_VT_BSTR: append_text(cell.text, out); return true;
    case RTD_VT_ERROR:
        if (cell.scode == RTD_NA) {
            out->append("#N/A");
        } else {
            char text[32];
            snprintf(text, sizeof text, "#ERROR(0x%08X)", static_cast<unsigned>(cell.scode));
            out->append(text);
        }
        return true;
    default: return false;
    }
}

bool decode_refresh(const RefreshAnswer &answer, const std::set<long> &topics, std::vector<TopicValue> *out,
                    std::string *why)
{
    char text[160];
    if (answer.dims != 2 || !answer.variants) {
        snprintf(text, sizeof text, "an array of %u dimensions%s, not 2 of VARIANT", answer.dims,
                 answer.variants ? "" : " not of VARIANT");
        *why = text;
        return false;
    }
    if (answer.lower[0] != 0 || answer.count[0] != 2 || answer.lower[1] != 0) {
        snprintf(text, sizeof text, "bounds [%ld, %lu elements] x [%ld, ...], not [0..1] x [0..n-1]",
                 answer.lower[0], answer.count[0], answer.lower[1]);
        *why = text;
        return false;
    }
    const unsigned long columns = answer.count[1];
    if (answer.topic_count < 0 || static_cast<unsigned long>(answer.topic_count) != columns ||
        answer.cells.size() != 2 * columns) {
        snprintf(text, sizeof text, "TopicCount %ld for %lu columns", answer.topic_count, columns);
        *why = text;
        return false;
    }
    std::vector<TopicValue> values;
    std::set<long> seen;
    for (unsigned long c = 0; c < columns; c++) {
        const RtdCell &id = answer.cells[2 * c];
        const RtdCell &value = answer.cells[2 * c + 1];
        if (id.type != RTD_VT_I4) {
            snprintf(text, sizeof text, "column %lu: topic ID of type %u, not VT_I4", c, id.type);
            *why = text;
            return false;
        }
        if (!topics.count(id.i4) || !seen.insert(id.i4).second) {
            snprintf(text, sizeof text, "column %lu: topic %ld %s", c, static_cast<long>(id.i4),
                     topics.count(id.i4) ? "twice" : "never connected");
            *why = text;
            return false;
        }
        TopicValue topic_value = {id.i4, std::string()};
        if (!format_value(value, &topic_value.value)) {
            snprintf(text, sizeof text, "column %lu: value of type %u", c, value.type);
            *why = text;
            return false;
        }
        values.push_back(topic_value);
    }
    out->insert(out->end(), values.begin(), values.end());
    return true;
}
