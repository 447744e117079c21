// What the Links window lists: one row per field that a cell watches, its
// links on each face, its value and time, and whether it is live. Pure code
// over the registry: no window, no clock of its own (the caller gives now).
#pragma once
#include "core/clock.h"
#include "core/field_links.h"
#include "core/registry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum LinkColumn {
    LINK_ITEM,     // insref.field
    LINK_DDE,      // DDE advise loops on the field
    LINK_RTD,      // RTD topics on the field
    LINK_VALUE,    // the value as the feed sent it; empty while it has none
    LINK_TIME,     // when the feed last sent a value, as the Time topic shows it
    LINK_UPDATES,  // values received
    LINK_STATE,    // LinkState, as text
    LINK_COLUMN_COUNT
};

// A row's state: the first that holds, in this order.
enum LinkState {
    LINK_FEED_DISCONNECTED,  // no feed client is open
    LINK_WAITING,            // the feed has sent no value for it yet
    LINK_QUIET,              // no value for QUIET_TICKS or more
    LINK_LIVE,
};
constexpr uint64_t QUIET_TICKS = 60 * TICKS_PER_SECOND;

// The column headers, also the copied text's header line.
extern const char *const LINK_COLUMN_TITLES[LINK_COLUMN_COUNT];

// rows are places of fields whose advise_count is above 0, in registry
// order or sorted by sort_column; built_at is registry.watch_changes when
// they were listed, so the list is rebuilt only when the watched set changed.
struct LinksModel {
    std::vector<FieldPlace> rows;
    uint64_t built_at;
    bool built;
    int sort_column;  // a LinkColumn, or -1: registry order
    bool descending;
};

// A field's state at now (a system time) with the feed open or not.
LinkState link_state(const InstrumentField &field, bool feed_open, uint64_t now);

// Lists the watched fields again when the watched set changed since the last
// listing, sorted as the model is (the state by now and feed_open). True
// when the rows were listed again. Expects registry_lock held. When memory
// runs out the rows stay as they were.
bool refresh_links(LinksModel *model, bool feed_open, uint64_t now);

// Sorts the rows by column, up or down. Stable: rows that compare equal keep
// their order, in both directions. Numbers compare as numbers, a value that
// reads as a number before one that is text, no value first; items by insref,
// then name. Expects registry_lock held.
void sort_links(LinksModel *model, int column, bool descending, bool feed_open, uint64_t now);

// The text of one cell (UTF-8, or the value's bytes as the feed sent them)
// into out, NUL-terminated and cut to size - 1 bytes; gives its full length.
// Expects registry_lock held and row below rows.size().
size_t link_cell_text(const LinksModel &model, size_t row, int column, bool feed_open, uint64_t now, char *out,
                      size_t size);

// The rows at indices (each below rows.size()) as tab-separated UTF-8 text
// with a header line, one line per row ended by CR LF, which a spreadsheet
// pastes as a table. A cell holding a tab, a line break or a leading quote is
// quoted, its quotes doubled. Expects registry_lock held.
std::string copy_links_text(const LinksModel &model, const std::vector<size_t> &indices, bool feed_open,
                            uint64_t now);
