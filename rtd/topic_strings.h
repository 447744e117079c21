// The strings of an RTD formula, =RTD("Quellvarden.Quote",,"1234.lastprice")
// or =RTD("Quellvarden.Quote",,"1234","lastprice"), made into an item name.
#pragma once
#include <windows.h>

#include "core/item_name.h"

#include <cstddef>

// One element of ConnectData's Strings array as the COM shell unpacked it:
// the UTF-16 units of a VT_BSTR, or is_text false for any other type.
struct TopicString {
    bool is_text;
    const WCHAR *units;
    size_t length;  // in UTF-16 units; a NUL among them counts as one
};

// The item a topic names: exactly one or two strings, both texts; two are
// joined by a dot. The result must pass the item rule as it stands (no
// trimming, no case folding, no best-fit conversion of non-ASCII, no
// embedded NUL). True, with the NUL-terminated item in item (ITEM_NAME_MAX
// + 1 bytes) and its insref and field as is_sound_item_name gives them, when
// it does; false (item then undefined) when it does not.
bool topic_item(const TopicString *strings, size_t count, char *item, unsigned long long *insref,
                const char **field);
