// The feed's update messages read from a frame's payload, checked whole
// before anything is applied.
#pragma once
#include "core/text_encoding.h"

#include <cstddef>
#include <cstdint>

enum UpdateValueKind {
    UPDATE_TEXT,    // a string: value holds it decoded, NUL-terminated
    UPDATE_NUMBER,  // a number as written (12.5, -3e-2, NaN, -Infinity): not NUL-terminated
    UPDATE_NULL,    // null: the field has no value any more
};

// One update, pointing into the payload it was read from.
struct FeedUpdate {
    const char *key;  // the item, decoded, NUL-terminated; it passes the item rule
    unsigned long long insref;
    const char *field;  // inside key
    const char *value;  // null for UPDATE_NULL
    size_t value_length;
    UpdateValueKind kind;
};

// Longest value or number kept, in bytes after decoding.
constexpr size_t UPDATE_VALUE_MAX = VALUE_TEXT_SIZE - 1;
// Deepest nesting of arrays and objects read; deeper payloads are refused.
constexpr int UPDATE_DEPTH_MAX = 8;

// Why a payload was refused, for the log: "value is true", "key fails the
// item rule: 01234.lastprice", "lone surrogate at byte 41". Always
// NUL-terminated; a key or text quoted in it is cut to fit.
constexpr size_t REFUSAL_TEXT_SIZE = 160;
struct UpdateRefusal {
    char text[REFUSAL_TEXT_SIZE];
};

// Reads payload[0..length), with a NUL at payload[length], as one update
// object or an array of them, of any number, decoding strings in place (the
// payload is rewritten). Calls take(context, update) for each update in
// order as soon as it is read: what it is given points into the payload.
// Returns the number of updates, or -1 when anything in the payload is
// refused or take returned false, which stops the reading there; then
// *why, when given, says what was refused ("take refused" when take said
// false). Allocates nothing.
int read_updates(char *payload, size_t length, bool (*take)(void *context, const FeedUpdate &update),
                 void *context, UpdateRefusal *why = nullptr);
