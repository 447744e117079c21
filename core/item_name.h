// Item names: the text that names one field on both faces of the bridge.
#pragma once
#include <cstddef>

// Longest item name that the DDE side accepts; its copy buffers hold this + 1.
constexpr size_t ITEM_NAME_MAX = 99;

// Reads an item name the lenient way: the leading number as strtoull reads it
// (white space and a sign allowed), which must not be 0 and must be followed
// directly by a dot. On success gives the insref and a pointer to the field
// name inside text (possibly empty). On failure *insref still holds the number
// read (0 when there was none). Never fails on a null field pointer.
bool parse_item_name(const char *text, unsigned long long *insref, const char **field);

// True when text (whose full length, before any cut, is full_length) is an
// item name that can travel unchanged to the feed client and back: the strict
// form described in item_name.cpp. Gives insref and field like parse_item_name.
bool is_sound_item_name(const char *text, size_t full_length, unsigned long long *insref, const char **field);
