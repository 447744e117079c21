// The Status topic's state: whether a feed client is open and since when,
// and the clock a sheet compares a field's time with. Every change is told
// to the faces through status_changed.
#pragma once
#include "core/topic_names.h"

#include <cstdint>

struct StatusTopic {
    bool feed_open;  // a feed client is through its handshake and not closing
    uint64_t since;  // system time (core/clock.h) feed_open last changed; the start until then
    uint64_t clock;  // the clock's latest whole second, as a system time
};

extern StatusTopic status_topic;

// Tells every face that a Status item changed; set by start-up, and while
// it is null nobody is told. It is called from wherever the change
// happens (a DDE transaction, a socket event, the registry under its
// lock), so it must not call into a face there and then: start-up's
// posts a message and tells the faces when it is handled.
extern void (*status_changed)(StatusItem item);

// Once at start-up: since and clock are the program's start.
void start_status_topic();

// The feed client became open (true) or stopped being open. feed and since
// change, and are told, only when it differs from what they say.
void set_feed_open(bool open);

// The clock's tick: clock takes the current whole second, told when it
// moved. Gives the milliseconds until the next whole second (1 to 1000),
// when the next tick is due.
unsigned tick_status_clock();

// Tells the faces (status_changed, when set) that item changed.
void status_item_changed(StatusItem item);

// What an item holds now: feed a text, since and clock a time, fields a
// number (the watched fields, as on status line 1).
enum StatusKind { STATUS_VALUE_TEXT, STATUS_VALUE_TIME, STATUS_VALUE_NUMBER };
struct StatusValue {
    StatusKind kind;
    const char *text;  // STATUS_VALUE_TEXT: "Connected" or "Disconnected"
    uint64_t time;     // STATUS_VALUE_TIME: a system time
    double number;     // STATUS_VALUE_NUMBER
};
StatusValue status_value(StatusItem item);
