#include "core/topic_names.h"

static const char *const TOPIC_WORDS[] = {"Quote", "Time", "Status"};
static const char *const STATUS_ITEMS[STATUS_ITEM_COUNT] = {"feed", "since", "clock", "fields"};

static char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

static bool same_ignoring_case(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        if (lower(*a) != lower(*b))
            return false;
    }
    return *a == *b;
}

bool find_topic(const char *name, TopicKind *topic)
{
    for (int i = 0; i < 3; ++i) {
        if (same_ignoring_case(name, TOPIC_WORDS[i])) {
            *topic = static_cast<TopicKind>(i);
            return true;
        }
    }
    return false;
}

bool find_status_item(const char *name, StatusItem *item)
{
    for (int i = 0; i < STATUS_ITEM_COUNT; ++i) {
        if (same_ignoring_case(name, STATUS_ITEMS[i])) {
            *item = static_cast<StatusItem>(i);
            return true;
        }
    }
    return false;
}

const char *status_item_name(StatusItem item)
{
    return STATUS_ITEMS[item];
}
