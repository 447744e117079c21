#include "rtd/topic_strings.h"

// Appends the units of one string to item at *length, when every unit is
// ASCII that an item name can hold and the whole still fits. Anything else
// is refused here rather than converted: a best-fit or dropped character
// would link a field other than the one the formula names.
static bool append_units(const TopicString &string, char *item, size_t *length)
{
    if (!string.is_text || string.length > ITEM_NAME_MAX - *length)
        return false;
    for (size_t i = 0; i < string.length; ++i) {
        WCHAR unit = string.units[i];
        if (unit == 0 || unit >= 0x80)
            return false;
        item[(*length)++] = static_cast<char>(unit);
    }
    return true;
}

bool topic_item(const TopicString *strings, size_t count, char *item, unsigned long long *insref,
                const char **field)
{
    if (count != 1 && count != 2)
        return false;
    size_t length = 0;
    if (!append_units(strings[0], item, &length))
        return false;
    if (count == 2) {
        if (length == ITEM_NAME_MAX)
            return false;
        item[length++] = '.';
        if (!append_units(strings[1], item, &length))
            return false;
    }
    item[length] = '\0';
    return is_sound_item_name(item, length, insref, field);
}

// The string as a NUL-terminated ASCII text of fewer than size characters;
// false for anything else.
static bool ascii_text(const TopicString &string, char *out, size_t size)
{
    if (!string.is_text || string.length >= size)
        return false;
    for (size_t i = 0; i < string.length; ++i) {
        WCHAR unit = string.units[i];
        if (unit == 0 || unit >= 0x80)
            return false;
        out[i] = static_cast<char>(unit);
    }
    out[string.length] = '\0';
    return true;
}

bool read_topic_strings(const TopicString *strings, size_t count, TopicRequest *request)
{
    char word[8];  // the longest topic word or Status item, and its NUL
    TopicKind topic = TOPIC_QUOTE;
    bool worded = count >= 2 && ascii_text(strings[0], word, sizeof word) && find_topic(word, &topic);
    request->topic = topic;
    request->status = STATUS_ITEM_FEED;
    if (!worded)
        return topic_item(strings, count, request->item, &request->insref, &request->field);
    if (topic != TOPIC_STATUS)
        return topic_item(strings + 1, count - 1, request->item, &request->insref, &request->field);
    return count == 2 && ascii_text(strings[1], word, sizeof word) &&
           find_status_item(word, &request->status);
}
