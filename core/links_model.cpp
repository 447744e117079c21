#include "core/links_model.h"

#include "core/excel_time.h"
#include "core/text_encoding.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

const char *const LINK_COLUMN_TITLES[LINK_COLUMN_COUNT] = {"Item",  "DDE links", "RTD topics", "Value",
                                                           "Time",  "Updates",   "State"};

static const char *const STATE_TEXTS[] = {"Feed disconnected", "Waiting for first value", "No update for 60 s",
                                          "Live"};

LinkState link_state(const InstrumentField &field, bool feed_open, uint64_t now)
{
    if (!feed_open)
        return LINK_FEED_DISCONNECTED;
    if (field.updated == 0)
        return LINK_WAITING;
    // A clock set back shows the field live rather than quiet.
    if (now > field.updated && now - field.updated >= QUIET_TICKS)
        return LINK_QUIET;
    return LINK_LIVE;
}

static unsigned dde_links(const InstrumentField &field)
{
    return field.advise_count > field.rtd_topics ? field.advise_count - field.rtd_topics : 0u;
}

// What a row sorts by in one column: rank first (for a value: none, a
// number, a text), then number, whole and text in turn.
struct SortKey {
    int rank;
    double number;
    uint64_t whole;
    const char *text;
    FieldPlace place;
};

static bool reads_as_number(const char *text, double *number)
{
    if (!*text)
        return false;
    char *end;
    *number = std::strtod(text, &end);
    return *end == '\0';
}

static SortKey sort_key(FieldPlace place, int column, bool feed_open, uint64_t now)
{
    const Instrument &instrument = registry.instruments[place.instrument];
    const InstrumentField &field = instrument.fields[place.field];
    SortKey key = {0, 0.0, 0, nullptr, place};
    switch (column) {
    case LINK_ITEM:
        key.whole = instrument.insref;
        key.text = field.name;
        break;
    case LINK_DDE:
        key.whole = dde_links(field);
        break;
    case LINK_RTD:
        key.whole = field.rtd_topics;
        break;
    case LINK_VALUE:
        if (field.value) {
            key.rank = reads_as_number(field.value, &key.number) ? 1 : 2;
            key.text = field.value;
        }
        break;
    case LINK_TIME:
        key.whole = field.updated;
        break;
    case LINK_UPDATES:
        key.whole = field.updates;
        break;
    case LINK_STATE:
        key.whole = static_cast<uint64_t>(link_state(field, feed_open, now));
        break;
    }
    return key;
}

static bool key_less(const SortKey &a, const SortKey &b)
{
    if (a.rank != b.rank)
        return a.rank < b.rank;
    if (a.rank == 1 && a.number != b.number)
        return a.number < b.number;
    if (a.whole != b.whole)
        return a.whole < b.whole;
    if (a.text && b.text && a.rank != 1)
        return std::strcmp(a.text, b.text) < 0;
    return false;
}

void sort_links(LinksModel *model, int column, bool descending, bool feed_open, uint64_t now)
{
    model->sort_column = column;
    model->descending = descending;
    if (column < 0 || column >= LINK_COLUMN_COUNT)
        return;
    try {
        std::vector<SortKey> keys;
        keys.reserve(model->rows.size());
        for (FieldPlace place : model->rows)
            keys.push_back(sort_key(place, column, feed_open, now));
        // Down is up with the operands swapped, not the up order reversed,
        // so that equal rows keep their order either way.
        if (descending)
            std::stable_sort(keys.begin(), keys.end(),
                             [](const SortKey &a, const SortKey &b) { return key_less(b, a); });
        else
            std::stable_sort(keys.begin(), keys.end(), key_less);
        for (size_t i = 0; i < keys.size(); ++i)
            model->rows[i] = keys[i].place;
    } catch (const std::bad_alloc &) {
        // The rows stay in the order they had.
    }
}

bool refresh_links(LinksModel *model, bool feed_open, uint64_t now)
{
    if (model->built && model->built_at == registry.watch_changes)
        return false;
    try {
        std::vector<FieldPlace> rows;
        rows.reserve(static_cast<size_t>(registry.active_field_count));
        for (uint64_t i = 0; i < registry.instrument_count; ++i) {
            const Instrument &instrument = registry.instruments[i];
            for (uint16_t f = 0; f < instrument.field_count; ++f) {
                if (instrument.fields[f].advise_count > 0)
                    rows.push_back(FieldPlace{i, f});
            }
        }
        model->rows.swap(rows);
    } catch (const std::bad_alloc &) {
        return false;
    }
    model->built = true;
    model->built_at = registry.watch_changes;
    sort_links(model, model->sort_column, model->descending, feed_open, now);
    return true;
}

// Copies text into out (size bytes, size above 0) and gives text's length;
// a cut falls between UTF-8 characters, never inside one.
static size_t put_text(const char *text, char *out, size_t size)
{
    size_t length = std::strlen(text);
    size_t kept = length < size ? length : size - 1;
    if (kept < length) {
        while (kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80)
            --kept;
    }
    std::memcpy(out, text, kept);
    out[kept] = '\0';
    return length;
}

size_t link_cell_text(const LinksModel &model, size_t row, int column, bool feed_open, uint64_t now, char *out,
                      size_t size)
{
    if (size == 0)
        return 0;
    FieldPlace place = model.rows[row];
    const Instrument &instrument = registry.instruments[place.instrument];
    const InstrumentField &field = instrument.fields[place.field];
    char text[64];
    text[0] = '\0';
    switch (column) {
    case LINK_ITEM: {
        int prefix = std::snprintf(text, sizeof text, "%" PRIu64 ".", instrument.insref);
        size_t name_length = std::strlen(field.name);
        if (static_cast<size_t>(prefix) >= size)
            return put_text(text, out, size) + name_length;
        std::memcpy(out, text, static_cast<size_t>(prefix));
        return static_cast<size_t>(prefix) + put_text(field.name, out + prefix, size - static_cast<size_t>(prefix));
    }
    case LINK_DDE:
        std::snprintf(text, sizeof text, "%u", dde_links(field));
        break;
    case LINK_RTD:
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(field.rtd_topics));
        break;
    case LINK_VALUE:
        return put_text(field.value ? field.value : "", out, size);
    case LINK_TIME: {
        SYSTEMTIME local;
        if (local_time_of(field.updated, &local))
            format_time_text(local, text, sizeof text);
        break;
    }
    case LINK_UPDATES:
        std::snprintf(text, sizeof text, "%" PRIu32, field.updates);
        break;
    case LINK_STATE:
        return put_text(STATE_TEXTS[link_state(field, feed_open, now)], out, size);
    }
    return put_text(text, out, size);
}

// A value that is not UTF-8 (a feed that sends the ANSI code page) in
// UTF-8, so that the copied text is UTF-8 as a whole.
static void append_utf8(std::string &out, const char *value)
{
    size_t length = std::strlen(value);
    if (is_ascii(value) ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, static_cast<int>(length), nullptr, 0) > 0) {
        out.append(value, length);
        return;
    }
    std::vector<WCHAR> wide(length + 1);
    int units = value_to_wide(value, wide.data(), static_cast<int>(wide.size()));
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (units <= 0 || bytes <= 0)
        return;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, &out[at], bytes, nullptr, nullptr);
}

// One cell of the copied text: quoted when a sheet would otherwise split it
// or take its quotes as the start of a quoted cell.
static void append_cell(std::string &out, const std::string &cell)
{
    bool quoted = cell.find_first_of("\t\r\n") != std::string::npos || (!cell.empty() && cell[0] == '"');
    if (!quoted) {
        out += cell;
        return;
    }
    out += '"';
    for (char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

std::string copy_links_text(const LinksModel &model, const std::vector<size_t> &indices, bool feed_open,
                            uint64_t now)
{
    std::string out;
    for (int column = 0; column < LINK_COLUMN_COUNT; ++column) {
        out += column ? "\t" : "";
        out += LINK_COLUMN_TITLES[column];
    }
    out += "\r\n";
    std::string cell;
    char text[TIME_TEXT_SIZE + 64];
    for (size_t row : indices) {
        const InstrumentField &field = *field_at(model.rows[row]);
        for (int column = 0; column < LINK_COLUMN_COUNT; ++column) {
            cell.clear();
            if (column == LINK_VALUE) {
                append_utf8(cell, field.value ? field.value : "");
            } else if (column == LINK_ITEM) {
                cell = std::to_string(registry.instruments[model.rows[row].instrument].insref);
                cell += '.';
                cell += field.name;
            } else {
                link_cell_text(model, row, column, feed_open, now, text, sizeof text);
                cell = text;
            }
            if (column)
                out += '\t';
            append_cell(out, cell);
        }
        out += "\r\n";
    }
    return out;
}
