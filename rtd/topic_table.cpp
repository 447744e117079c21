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

// The list a topic's ID is kept in.
static std::vector<long> &index_of(TopicTable *table, const RtdTopic &topic)
{
    if (topic.topic == TOPIC_STATUS)
        return table->by_status[topic.status];
    return table->by_field[field_key(topic.place)];
}

// Removes the topic and releases its field. Expects registry_lock held.
static void drop_topic(TopicTable *table, long id)
{
    auto found = table->topics.find(id);
    if (found == table->topics.end())
        return;
    RtdTopic topic = found->second;
    table->topics.erase(found);
    if (topic.topic == TOPIC_STATUS) {
        std::vector<long> &ids = table->by_status[topic.status];
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    } else {
        auto listed = table->by_field.find(field_key(topic.place));
        if (listed != table->by_field.end()) {
            std::vector<long> &ids = listed->second;
            ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
            if (ids.empty())
                table->by_field.erase(listed);
        }
    }
    if (topic.changed)
        table->changed.erase(std::remove(table->changed.begin(), table->changed.end(), id),
                             table->changed.end());
    if (topic.topic != TOPIC_STATUS)
        release_rtd_topic(field_at(topic.place));
}

// Adds the topic; false, with nothing added, when memory runs out.
// `changed` is reserved for every topic, so marking never allocates.
static bool add_topic(TopicTable *table, long id, const RtdTopic &topic)
{
    bool listed = false;
    try {
        index_of(table, topic).push_back(id);
        listed = true;
        table->changed.reserve(table->topics.size() + 1);
        table->topics.emplace(id, topic);
        return true;
    } catch (const std::bad_alloc &) {
        if (listed) {
            std::vector<long> &ids = index_of(table, topic);
            ids.pop_back();
            if (ids.empty() && topic.topic != TOPIC_STATUS)
                table->by_field.erase(field_key(topic.place));
        }
        return false;
    }
}

// What the topic shows now; true when that is a value rather than the
// blank of a field that has none yet. Expects registry_lock held.
static bool topic_value(const RtdTopic &topic, RtdValue *value)
{
    if (topic.topic == TOPIC_STATUS) {
        make_rtd_status(topic.status, value);
        return true;
    }
    const InstrumentField *field = field_at(topic.place);
    if (topic.topic == TOPIC_TIME) {
        make_rtd_time(field->updated, value);
        return field->updated != 0;
    }
    make_rtd_value(field->value, value);
    return field->value != nullptr;
}

ConnectOutcome connect_topic(TopicTable *table, long id, const TopicString *strings, size_t count,
                             RtdValue *value)
{
    if (rtd_state.closing)
        return CONNECT_REFUSED;
    TopicRequest request;
    bool sound = read_topic_strings(strings, count, &request);
    RtdTopic topic = {FieldPlace{0, 0}, false, request.topic, request.status};

    EnterCriticalSection(&registry_lock);
    // The same ID again is a new formula in the cell that held the old one.
    drop_topic(table, id);
    ConnectOutcome outcome = CONNECT_BAD_ITEM;
    bool linked =
        sound && (request.topic == TOPIC_STATUS ||
                  link_rtd_topic(request.insref, request.field, request.item, &topic.place) != ADVISE_FAILED);
    if (linked) {
        if (add_topic(table, id, topic)) {
            outcome = topic_value(topic, value) ? CONNECT_VALUE : CONNECT_BLANK;
        } else {
            if (request.topic != TOPIC_STATUS)
                release_rtd_topic(field_at(topic.place));
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
    for (const auto &entry : table->topics) {
        if (entry.second.topic != TOPIC_STATUS)
            release_rtd_topic(field_at(entry.second.place));
    }
    table->topics.clear();
    table->by_field.clear();
    for (std::vector<long> &ids : table->by_status)
        ids.clear();
    table->changed.clear();
    table->notified = false;
    LeaveCriticalSection(&registry_lock);
}

bool notify_wanted(const TopicTable *table)
{
    return !table->notified && !table->changed.empty();
}

// Marks the topics `ids` of the table; true when the table then wants an
// UpdateNotify.
static bool mark_changed(TopicTable *table, const std::vector<long> &ids)
{
    for (long id : ids) {
        RtdTopic &topic = table->topics.find(id)->second;
        if (!topic.changed) {
            topic.changed = true;
            table->changed.push_back(id);  // never allocates: reserved at connect
        }
    }
    return notify_wanted(table);
}

static void want_notify()
{
    if (!rtd_state.notify_posted && rtd_state.window) {
        rtd_state.notify_posted = PostMessageA(rtd_state.window, WM_RTD_NOTIFY, 0, 0) != FALSE;
    }
}

void rtd_field_changed(FieldPlace place)
{
    bool wanted = false;
    for (TopicTable *table : rtd_state.tables) {
        auto listed = table->by_field.find(field_key(place));
        if (listed != table->by_field.end())
            wanted = mark_changed(table, listed->second) || wanted;
    }
    if (wanted)
        want_notify();
}

void rtd_status_changed(StatusItem item)
{
    bool wanted = false;
    for (TopicTable *table : rtd_state.tables) {
        if (!table->by_status[item].empty())
            wanted = mark_changed(table, table->by_status[item]) || wanted;
    }
    if (wanted)
        want_notify();
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
        topic_value(topic, &value);
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
