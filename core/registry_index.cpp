// The registry's index: open-addressing hash tables of positions, probed linearly.
#include "core/registry_index.h"

#include "core/registry.h"

#include <cstdlib>
#include <cstring>

RegistryIndex registry_index;

constexpr uint64_t FIRST_SLOTS = 64;  // a power of two, as every table size

// The finalizer of splitmix64: every bit of the key moves every bit of the slot.
static uint64_t mix(uint64_t key)
{
    key ^= key >> 30;
    key *= 0xBF58476D1CE4E5B9ull;
    key ^= key >> 27;
    key *= 0x94D049BB133111EBull;
    return key ^ (key >> 31);
}

// FNV-1a over the name's bytes, folded to 32 bits.
static uint32_t name_hash(const char *name)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
        hash = (hash ^ *p) * 0x100000001B3ull;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

static uint64_t field_home(uint64_t instrument, uint32_t hash, uint64_t slots)
{
    return mix(instrument << 32 ^ hash) & (slots - 1);
}

int64_t index_find_instrument(uint64_t insref)
{
    const RegistryIndex &index = registry_index;
    if (index.instrument_slots == 0)
        return -1;
    for (uint64_t slot = mix(insref) & (index.instrument_slots - 1);;
         slot = (slot + 1) & (index.instrument_slots - 1)) {
        uint64_t entry = index.instruments[slot];
        if (entry == 0)
            return -1;
        if (registry.instruments[entry - 1].insref == insref)
            return static_cast<int64_t>(entry - 1);
    }
}

int32_t index_find_field(uint64_t instrument, const char *name)
{
    const RegistryIndex &index = registry_index;
    if (index.field_slots == 0)
        return -1;
    uint32_t hash = name_hash(name);
    const InstrumentField *fields = registry.instruments[instrument].fields;
    for (uint64_t slot = field_home(instrument, hash, index.field_slots);;
         slot = (slot + 1) & (index.field_slots - 1)) {
        const FieldSlot &entry = index.fields[slot];
        if (!entry.used)
            return -1;
        if (entry.hash == hash && entry.instrument == instrument &&
            std::strcmp(fields[entry.field].name, name) == 0)
            return entry.field;
    }
}

static void place_instrument(uint64_t *slots, uint64_t slot_count, uint64_t position)
{
    uint64_t slot = mix(registry.instruments[position].insref) & (slot_count - 1);
    while (slots[slot] != 0)
        slot = (slot + 1) & (slot_count - 1);
    slots[slot] = position + 1;
}

static void place_field(FieldSlot *slots, uint64_t slot_count, const FieldSlot &entry)
{
    uint64_t slot = field_home(entry.instrument, entry.hash, slot_count);
    while (slots[slot].used)
        slot = (slot + 1) & (slot_count - 1);
    slots[slot] = entry;
}

// The table size for count + 1 entries at most half full: the current one,
// or twice it.
static uint64_t slots_for(uint64_t count, uint64_t slots)
{
    if (slots == 0)
        return FIRST_SLOTS;
    return (count + 1) * 2 > slots ? slots * 2 : slots;
}

// A new table is filled before the old one goes, so a failed allocation
// leaves the index as it was.
bool index_reserve_instrument()
{
    RegistryIndex &index = registry_index;
    uint64_t slots = slots_for(index.instrument_count, index.instrument_slots);
    if (slots == index.instrument_slots)
        return true;
    uint64_t *grown = static_cast<uint64_t *>(std::malloc(static_cast<size_t>(slots) * sizeof(uint64_t)));
    if (!grown)
        return false;
    std::memset(grown, 0, static_cast<size_t>(slots) * sizeof(uint64_t));
    for (uint64_t i = 0; i < index.instrument_slots; ++i) {
        if (index.instruments[i] != 0)
            place_instrument(grown, slots, index.instruments[i] - 1);
    }
    std::free(index.instruments);
    index.instruments = grown;
    index.instrument_slots = slots;
    return true;
}

bool index_reserve_field()
{
    RegistryIndex &index = registry_index;
    uint64_t slots = slots_for(index.field_count, index.field_slots);
    if (slots == index.field_slots)
        return true;
    FieldSlot *grown = static_cast<FieldSlot *>(std::malloc(static_cast<size_t>(slots) * sizeof(FieldSlot)));
    if (!grown)
        return false;
    std::memset(grown, 0, static_cast<size_t>(slots) * sizeof(FieldSlot));
    for (uint64_t i = 0; i < index.field_slots; ++i) {
        if (index.fields[i].used)
            place_field(grown, slots, index.fields[i]);
    }
    std::free(index.fields);
    index.fields = grown;
    index.field_slots = slots;
    return true;
}

void index_add_instrument(uint64_t position)
{
    place_instrument(registry_index.instruments, registry_index.instrument_slots, position);
    ++registry_index.instrument_count;
}

void index_add_field(uint64_t instrument, uint16_t field)
{
    const char *name = registry.instruments[instrument].fields[field].name;
    place_field(registry_index.fields, registry_index.field_slots,
                FieldSlot{instrument, name_hash(name), field, true});
    ++registry_index.field_count;
}
