// The names a sheet writes besides item names, one rule for both faces:
// the three topics, and the items of the Status topic. Both are compared
// without regard to letter case, as DDE compares topics and items.
//
//   Quote   <insref>.<field>   the field's value
//   Time    <insref>.<field>   when the program last received a value for it
//   Status  feed | since | clock | fields
#pragma once

enum TopicKind { TOPIC_QUOTE, TOPIC_TIME, TOPIC_STATUS };

enum StatusItem { STATUS_ITEM_FEED, STATUS_ITEM_SINCE, STATUS_ITEM_CLOCK, STATUS_ITEM_FIELDS };
constexpr int STATUS_ITEM_COUNT = 4;

// True, with the topic, when the whole NUL-terminated name is one of the
// three topic words in any letter case.
bool find_topic(const char *name, TopicKind *topic);

// True, with the item, when the whole name is an item of Status in any
// letter case.
bool find_status_item(const char *name, StatusItem *item);

// The item's name as the program writes it ("feed").
const char *status_item_name(StatusItem item);
