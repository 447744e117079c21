// What both faces share about a field: linking a cell or a topic to it,
// asking the feed client for a field new to the registry, and hearing that a
// field's value changed. The two function pointers are set by start-up; the
// layers below never include the one that sets them.
#pragma once
#include "core/registry.h"

#include <cstdint>

// Where a field sits in the registry: indices into registry.instruments and
// that instrument's fields. Valid for the whole run, as entries are only
// ever appended; a face keeps this, never a pointer into the arrays, which
// move when they grow.
struct FieldPlace {
    uint64_t instrument;
    uint16_t field;
};

// Asks the feed client for a field that a link has just added (the whole
// item text). While it is null, nobody is asked. Its result is not looked at.
extern int (*request_new_field)(const char *item);

// Tells every face that the field at place (named item) has a new value, or
// none. Called with registry_lock held; while it is null, nobody is told.
extern void (*field_changed)(const char *item, FieldPlace place);

// Links one more cell or topic to insref.field_name, whose whole item text
// is item, through face ("DDE", "RTD"): the field's count goes up
// (start_advise), and a field new to the registry is asked of the feed
// client at once. The first link of a field is logged. Gives where the
// field sits when place is not null and the link was made. Expects
// registry_lock held.
AdviseResult link_field(uint64_t insref, const char *field_name, const char *item, const char *face,
                        FieldPlace *place);

// The same for an RTD topic, which the field also counts in rtd_topics.
AdviseResult link_rtd_topic(uint64_t insref, const char *field_name, const char *item, FieldPlace *place);
// Closes an RTD topic's link on field (release_field), and its RTD count with it.
void release_rtd_topic(InstrumentField *field);

// The field at place, which must be one the registry has.
InstrumentField *field_at(FieldPlace place);
FieldPlace place_of(const Instrument *instrument, const InstrumentField *field);
