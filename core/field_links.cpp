#include "core/field_links.h"

#include "core/log.h"

int (*request_new_field)(const char *item);
void (*field_changed)(const char *item, FieldPlace place);

AdviseResult link_field(uint64_t insref, const char *field_name, const char *item, const char *face,
                        FieldPlace *place)
{
    AdviseResult result = start_advise(insref, field_name);
    if (result == ADVISE_NEW_FIELD && request_new_field)
        request_new_field(item);
    if (result == ADVISE_FAILED)
        return result;
    Instrument *instrument = find_instrument(insref);
    InstrumentField *field = find_field(instrument, field_name);
    if (field->advise_count == 1)
        log_event("First link to %s, by %s", item, face);
    if (place)
        *place = place_of(instrument, field);
    return result;
}

AdviseResult link_rtd_topic(uint64_t insref, const char *field_name, const char *item, FieldPlace *place)
{
    FieldPlace linked;
    AdviseResult result = link_field(insref, field_name, item, "RTD", &linked);
    if (result != ADVISE_FAILED) {
        ++field_at(linked)->rtd_topics;
        if (place)
            *place = linked;
    }
    return result;
}

void release_rtd_topic(InstrumentField *field)
{
    if (field->rtd_topics > 0 && field->advise_count > 0)
        --field->rtd_topics;
    release_field(field);
}

InstrumentField *field_at(FieldPlace place)
{
    return &registry.instruments[place.instrument].fields[place.field];
}

FieldPlace place_of(const Instrument *instrument, const InstrumentField *field)
{
    return FieldPlace{static_cast<uint64_t>(instrument - registry.instruments),
                      static_cast<uint16_t>(field - instrument->fields)};
}
