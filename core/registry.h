// The subscription registry: every instrument and field that spreadsheets
// have linked to, with advise counts and the last value from the feed.
// Entries are only ever appended and live for the whole process.
// Every operation expects registry_lock to be held by the caller.
#pragma once
#include <windows.h>

#include <cstdint>

struct InstrumentField {
    char *name;             // owned copy, set at the first advise
    char *value;            // owned copy of the last value; null = none yet / "null"
    uint16_t advise_count;  // open links on this item: DDE advise loops and RTD topics
    uint16_t time_links;    // of those, DDE advise loops on the Time topic
    uint16_t value_room;    // bytes allocated for value (0 with none): a value that fits reuses them
    uint16_t rtd_topics;    // of advise_count, RTD topics; the rest are DDE advise loops
    uint32_t updates;       // values the feed sent for it, wrapping at 2^32
    uint64_t updated;       // system time (core/clock.h) the feed last sent a value; 0: never
};

struct Instrument {
    uint64_t insref;
    InstrumentField *fields;  // in the order first advised
    uint16_t field_count;
    uint16_t field_capacity;  // room in fields, at least field_count
};

struct SubscriptionRegistry {
    Instrument *instruments;  // in the order first advised
    uint64_t instrument_count;
    uint64_t active_field_count;   // fields whose advise_count is above 0
    uint64_t instrument_capacity;  // room in instruments, at least instrument_count
    uint64_t watch_changes;        // counts each time a field's advise_count left or reached 0
};

extern SubscriptionRegistry registry;
// Re-entrant: held around DdePostAdvise, whose callback takes it again
// (docs/one-thread.md: lock).
extern CRITICAL_SECTION registry_lock;

enum AdviseResult { ADVISE_FAILED, ADVISE_NEW_FIELD, ADVISE_EXISTING_FIELD };

// Look-ups in the registry's index (core/registry_index.h); null when
// nothing matches. Insrefs and the names within an instrument are unique,
// as entries are only added when a look-up found none.
Instrument *find_instrument(uint64_t insref);
InstrumentField *find_field(Instrument *instrument, const char *name);

// Opens one advise loop on insref.field_name, adding instrument and field as
// needed. Refuses (ADVISE_FAILED, nothing changed or shown) when memory runs
// out, the instrument already has 65535 fields, or the field 65535 loops.
AdviseResult start_advise(uint64_t insref, const char *field_name);
// Closes one advise loop; an unknown item changes nothing, and a field already
// at 0 loops is reported but not counted below 0.
void stop_advise(uint64_t insref, const char *field_name);
// Closes one link on field without a notice: a field already at 0 stays there.
void release_field(InstrumentField *field);
// Replaces the field's value with a copy of text, or with none for null;
// a text that fits the old value's bytes is copied into them (a ticking
// price allocates nothing). False when the copy cannot be made: the field
// then keeps its old value.
bool set_value(InstrumentField *field, const char *text);
