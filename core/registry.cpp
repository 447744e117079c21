#include "core/registry.h"

#include "core/registry_index.h"
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
    int64_t position = index_find_instrument(insref);
    return position < 0 ? nullptr : &registry.instruments[position];
}

InstrumentField *find_field(Instrument *instrument, const char *name)
{
    if (!name)
        return nullptr;
    int32_t position = index_find_field(static_cast<uint64_t>(instrument - registry.instruments), name);
    return position < 0 ? nullptr : &instrument->fields[position];
}

// The instruments' array grows by half its size at a time: a sheet of
// 100,000 instruments would otherwise copy the whole array at every new one.
static bool reserve_instrument()
{
    if (registry.instrument_count < registry.instrument_capacity)
        return true;
    uint64_t capacity = registry.instrument_capacity + registry.instrument_capacity / 2 + 8;
    void *grown = std::realloc(registry.instruments, static_cast<size_t>(capacity) * sizeof(Instrument));
    if (!grown)
        return false;
    registry.instruments = static_cast<Instrument *>(grown);
    registry.instrument_capacity = capacity;
    return true;
}

// Likewise an instrument's fields, which are few on most sheets.
static bool reserve_field(Instrument &instrument)
{
    if (instrument.field_count < instrument.field_capacity)
        return true;
    unsigned capacity = instrument.field_capacity + instrument.field_capacity / 2u + 4u;
    if (capacity > UINT16_MAX)
        capacity = UINT16_MAX;
    void *grown = std::realloc(instrument.fields, capacity * sizeof(InstrumentField));
    if (!grown)
        return false;
    instrument.fields = static_cast<InstrumentField *>(grown);
    instrument.field_capacity = static_cast<uint16_t>(capacity);
    return true;
}

static Instrument *append_instrument(uint64_t insref)
{
    if (!index_reserve_instrument() || !reserve_instrument())
        return nullptr;
    Instrument *instrument = &registry.instruments[registry.instrument_count];
    instrument->insref = insref;
    instrument->fields = nullptr;
    instrument->field_count = 0;
    instrument->field_capacity = 0;
    index_add_instrument(registry.instrument_count++);
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
    ++registry.watch_changes;
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
    char *name = index_reserve_field() ? copy_text(field_name) : nullptr;
    if (!name)
        return ADVISE_FAILED;
    if (!reserve_field(*instrument)) {
        std::free(name);
        return ADVISE_FAILED;
    }
    count_field_watched();
    field = &instrument->fields[instrument->field_count++];
    field->name = name;
    field->value = nullptr;
    field->value_room = 0;
    field->advise_count = 1;
    field->time_links = 0;
    field->rtd_topics = 0;
    field->updates = 0;
    field->updated = 0;
    index_add_field(static_cast<uint64_t>(instrument - registry.instruments),
                    static_cast<uint16_t>(instrument->field_count - 1));
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
    // The RTD count never exceeds the links left, whichever face closes one.
    if (field->rtd_topics > field->advise_count - 1)
        field->rtd_topics = static_cast<uint16_t>(field->advise_count - 1);
    if (--field->advise_count == 0) {
        --registry.active_field_count;
        ++registry.watch_changes;
        show_field_count();
    }
}

bool set_value(InstrumentField *field, const char *text)
{
    size_t size = text ? std::strlen(text) + 1 : 0;
    if (text && size <= field->value_room) {
        std::memcpy(field->value, text, size);
        return true;
    }
    char *copy = nullptr;
    if (text && !(copy = copy_text(text)))
        return false;
    std::free(field->value);
    field->value = copy;
    field->value_room = size <= UINT16_MAX ? static_cast<uint16_t>(size) : 0;
    return true;
}
