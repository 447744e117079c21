#include "core/registry.h"

#include "core/status_board.h"
#include "core/status_topic.h"

#include <cstdlib>
#include <cstring>

SubscriptionRegistry registry;
CRITICAL_SECTION registry_lock;

static char *copy_text(const char *text)
{
    size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

Instrument *find_instrument(uint64_t insref)
{
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        if (registry.instruments[i].insref == insref)
            return &registry.instruments[i];
    }
    return nullptr;
}

InstrumentField *find_field(Instrument *instrument, const char *name)
{
    if (!name)
        return nullptr;
    for (uint16_t i = 0; i < instrument->field_count; ++i) {
        if (std::strcmp(instrument->fields[i].name, name) == 0)
            return &instrument->fields[i];
    }
    return nullptr;
}

static Instrument *append_instrument(uint64_t insref)
{
    void *grown = std::realloc(registry.instruments,
                               static_cast<size_t>(registry.instrument_count + 1) * sizeof(Instrument));
    if (!grown)
        return nullptr;
    registry.instruments = static_cast<Instrument *>(grown);
    Instrument *instrument = &registry.instruments[registry.instrument_count++];
    instrument->insref = insref;
    instrument->fields = nullptr;
    instrument->field_count = 0;
    return instrument;
}

static void show_field_count()
{
    print_status(STATUS_FIELDS, "Number of fields: %zu", static_cast<size_t>(registry.active_field_count));
    status_item_changed(STATUS_ITEM_FIELDS);
}

static void count_field_watched()
{
    ++registry.active_field_count;
    show_field_count();
}

AdviseResult start_advise(uint64_t insref, const char *field_name)
{
    Instrument *instrument = find_instrument(insref);
    if (!instrument)
        instrument = append_instrument(insref);
    if (!instrument)
        return ADVISE_FAILED;

    InstrumentField *field = find_field(instrument, field_name);
    if (field) {
        if (field->advise_count == UINT16_MAX)
            return ADVISE_FAILED;
        if (field->advise_count == 0)
            count_field_watched();
        ++field->advise_count;
        return ADVISE_EXISTING_FIELD;
    }

    // Everything that can fail comes before the count is raised and shown.
    if (instrument->field_count == UINT16_MAX)
        return ADVISE_FAILED;
    char *name = copy_text(field_name);
    if (!name)
        return ADVISE_FAILED;
    void *grown = std::realloc(instrument->fields, (instrument->field_count + 1u) * sizeof(InstrumentField));
    if (!grown) {
        std::free(name);
        return ADVISE_FAILED;
    }
    instrument->fields = static_cast<InstrumentField *>(grown);
    count_field_watched();
    field = &instrument->fields[instrument->field_count++];
    field->name = name;
    field->value = nullptr;
    field->advise_count = 1;
    field->time_links = 0;
    field->updated = 0;
    return ADVISE_NEW_FIELD;
}

void stop_advise(uint64_t insref, const char *field_name)
{
    Instrument *instrument = find_instrument(insref);
    if (!instrument)
        return;
    InstrumentField *field = find_field(instrument, field_name);
    if (!field)
        return;
    print_status(STATUS_ERROR, "ADVSTOP:%llu", static_cast<unsigned long long>(insref));
    release_field(field);
}

void release_field(InstrumentField *field)
{
    if (field->advise_count == 0)
        return;
    if (--field->advise_count == 0) {
        --registry.active_field_count;
        show_field_count();
    }
}

bool set_value(InstrumentField *field, const char *text)
{
    char *copy = nullptr;
    if (text && !(copy = copy_text(text)))
        return false;
    std::free(field->value);
    field->value = copy;
    return true;
}
