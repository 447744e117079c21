#include "core/status_topic.h"

#include "core/clock.h"
#include "core/registry.h"

StatusTopic status_topic;
void (*status_changed)(StatusItem item);

void start_status_topic()
{
    uint64_t now = read_system_time();
    status_topic.since = now;
    status_topic.clock = now - now % TICKS_PER_SECOND;
}

void status_item_changed(StatusItem item)
{
    if (status_changed)
        status_changed(item);
}

void set_feed_open(bool open)
{
    if (status_topic.feed_open == open)
        return;
    status_topic.feed_open = open;
    status_topic.since = read_system_time();
    status_item_changed(STATUS_ITEM_FEED);
    status_item_changed(STATUS_ITEM_SINCE);
}

unsigned tick_status_clock()
{
    uint64_t now = read_system_time();
    uint64_t second = now - now % TICKS_PER_SECOND;
    // A timer may come a little early or late: only a new second is told.
    if (second != status_topic.clock) {
        status_topic.clock = second;
        status_item_changed(STATUS_ITEM_CLOCK);
    }
    uint64_t left = second + TICKS_PER_SECOND - now;
    return static_cast<unsigned>((left + TICKS_PER_MS - 1) / TICKS_PER_MS);
}

StatusValue status_value(StatusItem item)
{
    StatusValue value = {STATUS_VALUE_TIME, nullptr, 0, 0.0};
    switch (item) {
    case STATUS_ITEM_FEED:
        value.kind = STATUS_VALUE_TEXT;
        value.text = status_topic.feed_open ? "Connected" : "Disconnected";
        break;
    case STATUS_ITEM_SINCE:
        value.time = status_topic.since;
        break;
    case STATUS_ITEM_CLOCK:
        value.time = status_topic.clock;
        break;
    case STATUS_ITEM_FIELDS:
        value.kind = STATUS_VALUE_NUMBER;
        value.number = static_cast<double>(registry.active_field_count);
        break;
    }
    return value;
}
