// The registry's index: an instrument by its insref and a field of an
// instrument by its name, each found in constant time, so that a sheet of
// 100,000 links costs each update one look-up instead of a walk. Two
// open-addressing hash tables hold positions in the registry's arrays, never
// pointers, which move when the arrays grow.
//
// Invariants: every instrument and every field of the registry is in the
// index exactly once, under its position; each table is at most half full,
// so every search ends at an empty slot. Every operation expects
// registry_lock held.
#pragma once
#include <cstdint>

struct FieldSlot {
    uint64_t instrument;  // position in registry.instruments
    uint32_t hash;        // of the name, to pass most other names by
    uint16_t field;       // position in that instrument's fields
    bool used;
};

struct RegistryIndex {
    uint64_t *instruments;  // position + 1 of an instrument; 0: empty
    uint64_t instrument_slots;
    uint64_t instrument_count;
    FieldSlot *fields;
    uint64_t field_slots;
    uint64_t field_count;
};

extern RegistryIndex registry_index;

// The position of the instrument with insref, or -1.
int64_t index_find_instrument(uint64_t insref);
// The position of the field called name in the instrument at position
// instrument, or -1.
int32_t index_find_field(uint64_t instrument, const char *name);

// Makes room for one more instrument, or one more field: afterwards the
// matching index_add cannot fail. False when memory runs out; the index
// then finds exactly what it found before.
bool index_reserve_instrument();
bool index_reserve_field();

// Adds the instrument or field just appended to the registry, after its
// index_reserve_ succeeded.
void index_add_instrument(uint64_t position);
void index_add_field(uint64_t instrument, uint16_t field);
