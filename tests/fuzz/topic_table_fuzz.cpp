// The RTD topic tables of two server objects, driven by any sequence of
// calls, against a plain model of what each Excel connected: after every
// call each field's link count is the number of topics and DDE advise loops
// on it, RefreshData carries exactly the topics changed since the last one,
// each once, with the field's latest value, UpdateNotify goes out at most
// once per table between refreshes (and again after a failed one), one
// WM_RTD_NOTIFY waits once a change leaves a table on that field wanting
// one, and the lock is released.
//
// Input: records of three bytes:
//   byte 0   bits 0-2 the call: ConnectData, DisconnectData, a feed update,
//            RefreshData, ServerTerminate, the final Release (the table is
//            then made anew), the notify message, a DDE advise start or stop
//            (bit 3: stop); bits 4-7 the topic ID
//   byte 1   bit 0 the table (a or b); bits 1-4 the topic's strings
//            (CONNECTS) or the field (ITEMS); bit 5 the notify fails;
//            bit 6 RefreshData arrives inside the notify
//   byte 2   the value of an update (VALUES)
#include "core/field_links.h"
#include "core/registry.h"
#include "rtd/topic_table.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

struct Connect {
    std::vector<std::u16string> strings;
    const char *item;  // null: #N/A
};

static const Connect CONNECTS[16] = {
    {{u"1234.lastprice"}, "1234.lastprice"},
    {{u"1234", u"lastprice"}, "1234.lastprice"},
    {{u"1234.bid"}, "1234.bid"},
    {{u"5.x"}, "5.x"},
    {{u"5", u"x"}, "5.x"},
    {{u"1234.a", u"b"}, "1234.a.b"},
    {{u"6.y"}, "6.y"},
    {{u"1234.Bid"}, "1234.Bid"},
    {{u"01234.lastprice"}, nullptr},
    {{u"1234", u""}, nullptr},
    {{u"1234", u"last", u"price"}, nullptr},
    {{}, nullptr},
    {{u"1234.pr\u00E9x"}, nullptr},
    {{std::u16string(u"5.x\0y", 5)}, nullptr},
    {{u" 5.x"}, nullptr},
    {{u"6.y"}, "6.y"},
};
// Updates and DDE links; no two differ only in letter case, as DDE string
// handles would make them one.
static const char *const ITEMS[8] = {"1234.lastprice", "1234.bid", "5.x", "1234.a.b", "6.y",
                                     "1234.ask",       "7.z",      "5.x"};
static const char *const VALUES[8] = {nullptr, "12.5", "-3", "n/a", "\xE6\x9D\xB1\xE4\xBA\xAC",
                                      "1e999", " ",    "0"};

struct TableModel {
    std::map<long, std::string> topics;  // ID -> item
    std::set<long> changed;
    bool notified = false;
};

struct Model {
    TableModel tables[2];
    std::map<std::string, int> dde_loops;
    std::map<std::string, std::string> values;  // item -> latest value ("" with has_value false: none)
    std::set<std::string> has_value;
    bool message_waits = false;
};

static TopicTable *tables[2];
static Model model;
static HCONV sheet;

static InstrumentField *registry_field(const std::string &item)
{
    unsigned long long insref;
    const char *name;
    if (!parse_item_name(item.c_str(), &insref, &name))
        return nullptr;
    Instrument *instrument = find_instrument(insref);
    return instrument ? find_field(instrument, name) : nullptr;
}

static bool same_value(const RtdValue &a, const RtdValue &b)
{
    if (a.is_number != b.is_number)
        return false;
    if (a.is_number)
        return std::memcmp(&a.number, &b.number, sizeof a.number) == 0;
    return a.length == b.length && std::memcmp(a.text, b.text, a.length * sizeof(WCHAR)) == 0;
}

static RtdValue expected_value(const std::string &item)
{
    RtdValue value;
    make_rtd_value(model.has_value.count(item) ? model.values[item].c_str() : nullptr, &value);
    return value;
}

static void connect(int t, long id, const Connect &c)
{
    std::vector<TopicString> strings;
    for (const std::u16string &s : c.strings)
        strings.push_back(TopicString{true, reinterpret_cast<const WCHAR *>(s.data()), s.size()});
    RtdValue value;
    ConnectOutcome outcome = connect_topic(tables[t], id, strings.data(), strings.size(), &value);
    TableModel &m = model.tables[t];
    m.topics.erase(id);
    m.changed.erase(id);
    if (!c.item) {
        FUZZ_CHECK(outcome == CONNECT_BAD_ITEM);
        return;
    }
    m.topics[id] = c.item;
    FUZZ_CHECK(outcome == (model.has_value.count(c.item) ? CONNECT_VALUE : CONNECT_BLANK));
    FUZZ_CHECK(same_value(value, expected_value(c.item)));
}

// False when no field has the item: the feed's update then changes nothing.
static bool update(const char *item, const char *value)
{
    InstrumentField *field = registry_field(item);
    if (!field)
        return false;
    EnterCriticalSection(&registry_lock);
    FUZZ_CHECK(set_value(field, value));
    unsigned long long insref;
    const char *name;
    parse_item_name(item, &insref, &name);
    field_changed(item, place_of(find_instrument(insref), field));
    LeaveCriticalSection(&registry_lock);
    if (value)
        model.values[item] = value;
    if (value)
        model.has_value.insert(item);
    else
        model.has_value.erase(item);
    for (TableModel &m : model.tables) {
        for (const auto &topic : m.topics) {
            if (topic.second == item)
                m.changed.insert(topic.first);
        }
    }
    return true;
}

static void refresh(int t)
{
    std::map<long, RtdValue> carried;
    size_t count = refresh_topics(
        tables[t],
        [](void *context, size_t index, long id, const RtdValue &value) {
            auto &out = *static_cast<std::map<long, RtdValue> *>(context);
            FUZZ_CHECK(index == out.size());
            FUZZ_CHECK(out.count(id) == 0);
            out[id] = value;
        },
        &carried);
    TableModel &m = model.tables[t];
    FUZZ_CHECK(count == carried.size() && count == m.changed.size());
    for (long id : m.changed)
        FUZZ_CHECK(carried.count(id) && same_value(carried[id], expected_value(m.topics[id])));
    m.changed.clear();
    m.notified = false;
}

static bool notify_fails, refresh_inside;
static std::vector<TopicTable *> notified;

static bool update_notify(TopicTable *table)
{
    notified.push_back(table);
    if (refresh_inside)
        refresh(table == tables[0] ? 0 : 1);
    return !notify_fails;
}

static void notify_message()
{
    // What the window's handler does with the message: take it, then one pass.
    auto &queue = standin::queue();
    size_t waiting = 0;
    for (auto m = queue.begin(); m != queue.end();) {
        bool ours = m->message == WM_RTD_NOTIFY;
        waiting += ours;
        m = ours ? queue.erase(m) : m + 1;
    }
    FUZZ_CHECK(waiting == (model.message_waits ? 1u : 0u));
    FUZZ_CHECK(rtd_state.notify_posted == model.message_waits);
    rtd_state.notify_posted = false;
    model.message_waits = false;

    std::vector<TopicTable *> expected;
    for (int t = 0; t < 2; ++t) {
        if (!model.tables[t].notified && !model.tables[t].changed.empty())
            expected.push_back(tables[t]);
    }
    notified.clear();
    std::vector<TopicTable *> copy(tables, tables + 2);
    notify_pass(copy.data(), copy.size(), update_notify);
    FUZZ_CHECK(notified == expected);
    // A RefreshData inside the notify has cleared the mark already (refresh).
    for (TopicTable *table : expected) {
        if (!refresh_inside)
            model.tables[table == tables[0] ? 0 : 1].notified = !notify_fails;
    }
}

static void check_counts()
{
    std::map<std::string, int> links = model.dde_loops;
    for (const TableModel &m : model.tables) {
        for (const auto &topic : m.topics)
            ++links[topic.second];
    }
    uint64_t watched = 0;
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            std::string item = std::to_string(instrument.insref) + "." + instrument.fields[f].name;
            int count = links.count(item) ? links[item] : 0;
            FUZZ_CHECK(instrument.fields[f].advise_count == count);
            watched += count > 0;
        }
    }
    FUZZ_CHECK(registry.active_field_count == watched);
    for (int t = 0; t < 2; ++t) {
        FUZZ_CHECK(tables[t]->topics.size() == model.tables[t].topics.size());
        FUZZ_CHECK(tables[t]->changed.size() == model.tables[t].changed.size());
        FUZZ_CHECK(notify_wanted(tables[t]) ==
                   (!model.tables[t].notified && !model.tables[t].changed.empty()));
    }
    FUZZ_CHECK(standin::lock_info(&registry_lock).depth == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fresh_process();
    FUZZ_CHECK(start_program());
    request_new_field = nullptr;
    standin::queue().clear();
    sheet = standin::connect("Quellvarden", "Quote");
    model = Model{};
    tables[0] = new_topic_table(nullptr);
    tables[1] = new_topic_table(nullptr);

    for (size_t at = 0; size - at >= 3; at += 3) {
        int call = data[at] & 7;
        bool stop = (data[at] & 8) != 0;
        long id = data[at] >> 4;
        int t = data[at + 1] & 1;
        int choice = (data[at + 1] >> 1) & 15;
        notify_fails = (data[at + 1] & 0x20) != 0;
        refresh_inside = (data[at + 1] & 0x40) != 0;
        const char *item = ITEMS[choice & 7];
        bool told = false;
        switch (call) {
        case 0:
            connect(t, id, CONNECTS[choice]);
            break;
        case 1:
            disconnect_topic(tables[t], id);
            model.tables[t].topics.erase(id);
            model.tables[t].changed.erase(id);
            break;
        case 2:
            told = update(item, VALUES[data[at + 2] & 7]);
            break;
        case 3:
            refresh(t);
            break;
        case 4:
            forget_topics(tables[t]);
            model.tables[t] = TableModel{};
            break;
        case 5:
            delete_topic_table(tables[t]);
            model.tables[t] = TableModel{};
            tables[t] = new_topic_table(nullptr);
            FUZZ_CHECK(rtd_state.tables.size() == 2);
            break;
        case 6:
            notify_message();
            break;
        case 7:
            if (stop) {
                if (standin::unadvise(sheet, item, CF_TEXT))
                    --model.dde_loops[item];
            } else if (standin::advise(sheet, item, CF_TEXT)) {
                ++model.dde_loops[item];
            }
            break;
        }
        // A table with a topic on the changed field that then wants a
        // notify has its message waiting; the others wait for the tick.
        for (const TableModel &m : model.tables) {
            bool on_item = false;
            for (const auto &topic : m.topics)
                on_item = on_item || topic.second == item;
            if (told && on_item && !m.notified && !m.changed.empty())
                model.message_waits = true;
        }
        check_counts();
    }
    fresh_process();
    return 0;
}
