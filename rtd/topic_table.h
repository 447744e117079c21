// The topics of the RTD server objects: each Excel that creates a server
// object numbers its own topics, and each topic names one field of the
// registry, by its place, never by a pointer into the registry's arrays.
//
// A topic shows a field's value (Quote), the time it last came (Time) or
// an item of Status. Invariants of a table: `changed` holds exactly the IDs
// whose topic has its changed mark, each once; by_field lists every Quote
// and Time topic ID under the place it names, by_status every Status topic
// ID under its item, and nothing else; every Quote and Time topic holds one
// link on its field (start_advise), released when the topic goes.
#pragma once
#include "core/field_links.h"
#include "rtd/rtd_value.h"
#include "rtd/topic_strings.h"

#include <unordered_map>
#include <vector>

struct RtdTopic {
    FieldPlace place;  // Quote and Time
    bool changed;      // what it shows changed since the last RefreshData
    TopicKind topic;
    StatusItem status;  // Status
};

struct TopicTable {
    std::unordered_map<long, RtdTopic> topics;  // by Excel's topic ID
    std::unordered_map<uint64_t, std::vector<long>> by_field;
    std::vector<long> by_status[STATUS_ITEM_COUNT];
    std::vector<long> changed;  // IDs marked changed, in the order marked
    bool notified;              // UpdateNotify went out; no RefreshData since
    void *owner;                // the server object the table belongs to
};

// The tables of every live server object, in the order they were made, and
// what the notification needs to reach them.
struct RtdState {
    std::vector<TopicTable *> tables;
    HWND window;         // where WM_RTD_NOTIFY goes
    bool notify_posted;  // a WM_RTD_NOTIFY waits in the queue
    bool closing;        // shutdown has begun: no new topics
};

extern RtdState rtd_state;

// Posted to rtd_state.window when a change waits for an UpdateNotify
// (docs/one-thread.md: post).
constexpr UINT WM_RTD_NOTIFY = WM_USER + 4;

// What ConnectData answers.
enum ConnectOutcome {
    CONNECT_VALUE,     // the field's value; GetNewValues becomes true
    CONNECT_BLANK,     // no value yet: a single blank, GetNewValues as Excel passed it
    CONNECT_BAD_ITEM,  // #N/A; nothing is linked
    CONNECT_REFUSED,   // shutdown has begun, or memory ran out; nothing is linked
};

// Once, when the main window exists.
void attach_rtd(HWND window);

// A new, empty table of owner in rtd_state.tables; null when memory runs out.
TopicTable *new_topic_table(void *owner);
// Forgets the table's topics and removes it from rtd_state.tables.
void delete_topic_table(TopicTable *table);

// ConnectData: the topic `id` (replacing one already connected under that
// ID) links the field its strings name (read_topic_strings), as a DDE
// advise start does, or an item of Status, which links nothing; *value is
// what the topic shows now: CONNECT_BLANK while a Quote topic's field has
// no value or a Time topic's field no time. Takes registry_lock.
ConnectOutcome connect_topic(TopicTable *table, long id, const TopicString *strings, size_t count,
                             RtdValue *value);
// DisconnectData: the topic goes and its link with it; an unknown ID
// changes nothing. Takes registry_lock.
void disconnect_topic(TopicTable *table, long id);
// ServerTerminate and the final Release: every topic of the table goes.
// Takes registry_lock.
void forget_topics(TopicTable *table);

// The field at place changed: every topic on it, its value's and its
// time's, is marked, and one WM_RTD_NOTIFY is posted (unless one waits
// already) when a table with a topic on it then wants an UpdateNotify.
// Called with registry_lock held (field_changed); never calls out.
void rtd_field_changed(FieldPlace place);
// The same for every topic on an item of Status; needs no lock.
void rtd_status_changed(StatusItem item);

// RefreshData: calls put for every marked topic with its latest value, in
// the order marked, then clears the marks and the notified state. Gives the
// count (what put was called for). Takes registry_lock; put must not call
// out of the process.
size_t refresh_topics(TopicTable *table,
                      void (*put)(void *context, size_t index, long id, const RtdValue &value),
                      void *context);

// The notification, per table: an UpdateNotify is wanted while changes wait
// and none went out since the last RefreshData. The mark is set before the
// call goes out (RefreshData may arrive inside it); a failed call clears it,
// so the next pass tries again.
bool notify_wanted(const TopicTable *table);
// One pass over tables (a copy the caller keeps alive): update_notify is
// called once for each table that wants it, and false from it means failed.
void notify_pass(TopicTable *const *tables, size_t count, bool (*update_notify)(TopicTable *table));
