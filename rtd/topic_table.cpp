#include "rtd/topic_table.h"

#include "core/registry.h"

#include <algorithm>
#include <new>

RtdState rtd_state;

void attach_rtd(HWND window)
{
    rtd_state.window = window;
}

static uint64_t field_key(FieldPlace place)
{
    return place.instrument << 16 | place.field;
}

TopicTable *new_topic_table(void *owner)
{
    TopicTable *table = new (std::nothrow) TopicTable();
    if (!table)
        return nullptr;
    table->owner = owner;
    try {
        rtd_state.tables.push_back(table);
    } catch (const std::bad_alloc &) {
        delete table;
        return nullptr;
    }
    return table;
}

void delete_topic_table(TopicTable *table)
{
    forget_topics(table);
    auto &tables = rtd_state.tables;
    tables.erase(std::remove(tables.begin(), tables.end(), table), tables.end());
    delete table;
}

// Removes the topic and releases its field. Expects registry_lock held.
static void drop_topic(TopicTable *table, long id)
{
    auto found = table->topics.find(id);
    if (found == table->topics.end())
        return;
    RtdTopic topic = found->second;
    table->topics.erase(found);
    auto listed = table->by_field.find(field_key(topic.place));
    if (listed != table->by_field.end()) {
        std::vector<long> &ids = listed->second;
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
        if (ids.empty())
            table->by_field.erase(listed);
    }
    if (topic.changed)
        table->changed.erase(std::remove(table->changed.begin(), table->changed.end(), id),
                             table->changed.end());
    release_field(field_at(topic.place));
}

// Adds the topic on place; false, with nothing added, when memory runs out.
// `changed` is reserved for every topic, so marking never allocates.
static bool add_topic(TopicTable *table, long id, FieldPlace place)
{
    bool listed = false;
    try {
        table->by_field[field_key(place)].push_back(id);
        listed = true;
        table->changed.reserve(table->topics.size() + 1);
        table->topics.emplace(id, RtdTopic{place, false});
        return true;
    } catch (const std::bad_alloc &) {
        if (listed) {
            std::vector<long> &ids = table->by_field[field_key(place)];
            ids.pop_back();
            if (ids.empty())
                table->by_field.erase(field_key(place));
        }
        return false;
    }
}

ConnectOutcome connect_topic(TopicTable *table, long id, const TopicString *strings, size_t count,
                             RtdValue *value)
{
    if (rtd_state.closing)
        return CONNECT_REFUSED;
    char item[ITEM_NAME_MAX + 1];
    unsigned long long insref;
    const char *field_name;
    bool sound = topic_item(strings, count, item, &insref, &field_name);

    EnterCriticalSection(&registry_lock);
    // The same ID again is a new formula in the cell that held the old one.
    drop_topic(table, id);
    ConnectOutcome outcome = CONNECT_BAD_ITEM;
    FieldPlace place;
    if (sound && link_field(insref, field_name, item, &place) != ADVISE_FAILED) {
        if (add_topic(table, id, place)) {
            const char *text = field_at(place)->value;
            make_rtd_value(text, value);
            outcome = text ? CONNECT_VALUE : CONNECT_BLANK;
        } else {
            release_field(field_at(place));
            outcome = CONNECT_REFUSED;
        }
    }
    LeaveCriticalSection(&registry_lock);
    return outcome;
}

void disconnect_topic(TopicTable *table, long id)
{
    EnterCriticalSection(&registry_lock);
    drop_topic(table, id);
    LeaveCriticalSection(&registry_lock);
}

void forget_topics(TopicTable *table)
{
    EnterCriticalSection(&registry_lock);
    for (const auto &entry : table->topics)
        release_field(field_at(entry.second.place));
    table->topics.clear();
    table->by_field.clear();
    table->changed.clear();
    table->notified = false;
    LeaveCriticalSection(&registry_lock);
}

bool notify_wanted(const TopicTable *table)
{
    return !table->notified && !table->changed.empty();
}

void rtd_field_changed(FieldPlace place)
{
    bool wanted = false;
    for (TopicTable *table : rtd_state.tables) {
        auto listed = table->by_field.find(field_key(place));
        if (listed == table->by_field.end())
            continue;
        for (long id : listed->second) {
            RtdTopic &topic = table->topics.find(id)->second;
            if (!topic.changed) {
                topic.changed = true;
                table->changed.push_back(id);  // never allocates: reserved at connect
            }
        }
        wanted = wanted || notify_wanted(table);
    }
    if (wanted && !rtd_state.notify_posted && rtd_state.window) {
        rtd_state.notify_posted = PostMessageA(rtd_state.window, WM_RTD_NOTIFY, 0, 0) != FALSE;
    }
}

size_t refresh_topics(TopicTable *table,
                      void (*put)(void *context, size_t index, long id, const RtdValue &value), void *context)
{
    EnterCriticalSection(&registry_lock);
    size_t count = table->changed.size();
    RtdValue value;
    for (size_t i = 0; i < count; ++i) {
        long id = table->changed[i];
        RtdTopic &topic = table->topics.find(id)->second;
        topic.changed = false;
        make_rtd_value(field_at(topic.place)->value, &value);
        put(context, i, id, value);
    }
    table->changed.clear();
    table->notified = false;
    LeaveCriticalSection(&registry_lock);
    return count;
}

void notify_pass(TopicTable *const *tables, size_t count, bool (*update_notify)(TopicTable *table))
{
    for (size_t i = 0; i < count; ++i) {
        TopicTable *table = tables[i];
        if (!notify_wanted(table))
            continue;
        table->notified = true;
        if (!update_notify(table))
            table->notified = false;
    }
}
