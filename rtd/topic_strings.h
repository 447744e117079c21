// The strings of an RTD formula, =RTD("Quellvarden.Quote",,"1234.lastprice")
// or =RTD("Quellvarden.Quote",,"1234","lastprice"), made into an item name,
// and the topic word that may come first: =RTD("Quellvarden.Quote",,"Time",
// "1234.lastprice") or =RTD("Quellvarden.Quote",,"Status","feed").
#pragma once
#include <windows.h>

#include "core/item_name.h"
#include "core/topic_names.h"

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

// What a topic's strings ask for: a field's value (Quote) or the time it
// last came (Time), by item, or an item of Status.
struct TopicRequest {
    TopicKind topic;
    char item[ITEM_NAME_MAX + 1];  // Quote and Time: the item, NUL-terminated
    unsigned long long insref;
    const char *field;  // inside item
    StatusItem status;  // Status
};

// Reads ConnectData's strings:
//   "1234.lastprice"  or  "1234", "lastprice"        the value, as topic_item
//   "Time", "1234.lastprice"  or  "Time", "1234", "lastprice"
//                                                     a topic word, then the item
//   "Status", "feed"                                  a topic word, then its item
// A topic word is Quote, Time or Status in any letter case; a first string
// that is none (digits, an item) keeps the meaning it has without one.
// True, with *request filled, for one of these; false (#N/A) for anything
// else: an unknown item of Status, three strings after Status, four.
bool read_topic_strings(const TopicString *strings, size_t count, TopicRequest *request);
