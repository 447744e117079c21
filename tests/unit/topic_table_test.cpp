#include "rtd/topic_table.h"

#include "core/status_topic.h"
#include "test_support.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

static std::vector<std::string> requests;

static int record_request(const char *item)
{
    requests.push_back(item);
    return 0;
}

// The program up to its message loop, with the requests to the feed recorded.
class TopicTableTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(start_program());
        requests.clear();
        request_new_field = record_request;
        standin::queue().clear();
        a = new_topic_table(nullptr);
        b = new_topic_table(nullptr);
    }
    ConnectOutcome connect(TopicTable *table, long id, std::u16string first, const char16_t *second = nullptr,
                           const char16_t *third = nullptr)
    {
        std::u16string rest[2] = {second ? second : u"", third ? third : u""};
        TopicString strings[3] = {{true, reinterpret_cast<const WCHAR *>(first.data()), first.size()},
                                  {true, reinterpret_cast<const WCHAR *>(rest[0].data()), rest[0].size()},
                                  {true, reinterpret_cast<const WCHAR *>(rest[1].data()), rest[1].size()}};
        return connect_topic(table, id, strings, third ? 3 : second ? 2 : 1, &value);
    }
    // The feed's update as the notification point passes it on.
    static void change(const char *item, const char *text)
    {
        unsigned long long insref;
        const char *name;
        ASSERT_TRUE(parse_item_name(item, &insref, &name));
        EnterCriticalSection(&registry_lock);
        Instrument *instrument = find_instrument(insref);
        InstrumentField *field = find_field(instrument, name);
        ASSERT_NE(field, nullptr);
        set_value(field, text);
        field_changed(item, place_of(instrument, field));
        LeaveCriticalSection(&registry_lock);
    }
    static unsigned links(const char *item)
    {
        unsigned long long insref;
        const char *name;
        parse_item_name(item, &insref, &name);
        Instrument *instrument = find_instrument(insref);
        InstrumentField *field = instrument ? find_field(instrument, name) : nullptr;
        return field ? field->advise_count : 0;
    }
    // What RefreshData would carry: topic ID -> value as text ("n:12.5" or "t:...").
    static std::map<long, std::string> refresh(TopicTable *table)
    {
        std::map<long, std::string> out;
        size_t count = refresh_topics(
            table,
            [](void *context, size_t, long id, const RtdValue &v) {
                auto &map = *static_cast<std::map<long, std::string> *>(context);
                std::string shown = v.is_number ? "n:" + std::to_string(v.number) : "t:";
                for (size_t i = 0; !v.is_number && i < v.length; ++i)
                    shown += static_cast<char>(v.text[i]);
                map[id] = shown;
            },
            &out);
        EXPECT_EQ(count, out.size());
        return out;
    }
    static size_t notify_messages()
    {
        size_t n = 0;
        for (const MSG &m : standin::queue())
            n += m.message == WM_RTD_NOTIFY && m.hwnd == main_window;
        return n;
    }
    TopicTable *a = nullptr, *b = nullptr;
    RtdValue value = {};
};

TEST_F(TopicTableTest, ConnectLinksTheFieldAndAsksTheFeedOnce)
{
    EXPECT_EQ(connect(a, 1, u"1234.lastprice"), CONNECT_BLANK);
    EXPECT_FALSE(value.is_number);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(value.text), value.length), u" ");
    EXPECT_EQ(connect(a, 2, u"1234", u"lastprice"), CONNECT_BLANK);
    EXPECT_EQ(connect(b, 1, u"1234.lastprice"), CONNECT_BLANK);
    EXPECT_EQ(requests, std::vector<std::string>{"1234.lastprice"});
    EXPECT_EQ(links("1234.lastprice"), 3u);
    EXPECT_EQ(status_line(STATUS_FIELDS), "Number of fields: 1");

    change("1234.lastprice", "12.5");
    EXPECT_EQ(connect(a, 3, u"1234.lastprice"), CONNECT_VALUE);
    EXPECT_TRUE(value.is_number);
    EXPECT_EQ(value.number, 12.5);
}

TEST_F(TopicTableTest, BadItemLinksNothing)
{
    EXPECT_EQ(connect(a, 1, u"1234", u""), CONNECT_BAD_ITEM);
    EXPECT_EQ(connect(a, 2, u"01234.lastprice"), CONNECT_BAD_ITEM);
    EXPECT_EQ(registry.instrument_count, 0u);
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(a->topics.empty());
}

TEST_F(TopicTableTest, SameIdAgainReplacesTheTopic)
{
    connect(a, 1, u"1234.lastprice");
    connect(a, 1, u"1234.bid");
    EXPECT_EQ(links("1234.lastprice"), 0u);
    EXPECT_EQ(links("1234.bid"), 1u);
    EXPECT_EQ(a->topics.size(), 1u);
    change("1234.lastprice", "12.5");
    EXPECT_TRUE(refresh(a).empty());

    // A bad item under a connected ID takes the old topic away too.
    change("1234.bid", "12.4");
    EXPECT_EQ(connect(a, 1, u"1234.b\u00EFd"), CONNECT_BAD_ITEM);
    EXPECT_EQ(links("1234.bid"), 0u);
    EXPECT_TRUE(a->topics.empty());
    EXPECT_TRUE(refresh(a).empty());
}

TEST_F(TopicTableTest, DisconnectForgetsTheTopicWithoutANotice)
{
    connect(a, 1, u"1234.lastprice");
    connect(a, 2, u"1234.bid");
    change("1234.lastprice", "12.5");
    disconnect_topic(a, 1);
    disconnect_topic(a, 99);
    EXPECT_EQ(links("1234.lastprice"), 0u);
    EXPECT_EQ(status_line(STATUS_FIELDS), "Number of fields: 1");
    EXPECT_EQ(status_line(STATUS_ERROR), "");
    EXPECT_TRUE(refresh(a).empty());
    EXPECT_TRUE(a->changed.empty());
}

TEST_F(TopicTableTest, RefreshCarriesEachChangedTopicOnceWithItsLatestValue)
{
    connect(a, 7, u"1234.lastprice");
    connect(a, 8, u"1234", u"lastprice");
    connect(a, 9, u"1234.name");
    connect(a, 10, u"1234.bid");
    for (int i = 0; i < 1000; ++i)
        change("1234.lastprice", std::to_string(i).c_str());
    change("1234.name", "T\xC3\xB6kyo");
    change("1234.name", nullptr);
    std::map<long, std::string> expected = {{7, "n:999.000000"}, {8, "n:999.000000"}, {9, "t: "}};
    EXPECT_EQ(refresh(a), expected);
    EXPECT_TRUE(refresh(a).empty());
    change("1234.bid", "x");
    EXPECT_EQ(refresh(a), (std::map<long, std::string>{{10, "t:x"}}));
}

TEST_F(TopicTableTest, TablesAreIndependent)
{
    connect(a, 1, u"1234.lastprice");
    connect(b, 1, u"1234.bid");
    connect(b, 2, u"1234.lastprice");
    change("1234.bid", "1");
    EXPECT_TRUE(refresh(a).empty());
    EXPECT_EQ(refresh(b).size(), 1u);
    disconnect_topic(b, 1);
    EXPECT_EQ(a->topics.size(), 1u);
    change("1234.lastprice", "2");
    EXPECT_EQ(refresh(a).size(), 1u);
    EXPECT_EQ(refresh(b).size(), 1u);
}

// ServerTerminate forgets the topics and keeps the table; the final Release
// forgets them too and the table goes. The field counts are back either way.
TEST_F(TopicTableTest, TerminateAndLastReleaseForgetEveryTopic)
{
    connect(a, 1, u"1234.lastprice");
    connect(a, 2, u"1234.bid");
    connect(b, 1, u"1234.lastprice");
    change("1234.bid", "1");
    forget_topics(a);
    EXPECT_TRUE(a->topics.empty());
    EXPECT_FALSE(notify_wanted(a));
    EXPECT_EQ(links("1234.lastprice"), 1u);
    EXPECT_EQ(links("1234.bid"), 0u);
    delete_topic_table(b);
    EXPECT_EQ(links("1234.lastprice"), 0u);
    EXPECT_EQ(rtd_state.tables, std::vector<TopicTable *>{a});
    EXPECT_EQ(registry.active_field_count, 0u);
    EXPECT_EQ(status_line(STATUS_FIELDS), "Number of fields: 0");
}

TEST_F(TopicTableTest, ShutdownRefusesNewTopics)
{
    rtd_state.closing = true;
    EXPECT_EQ(connect(a, 1, u"1234.lastprice"), CONNECT_REFUSED);
    EXPECT_EQ(registry.instrument_count, 0u);
}

// 2024-02-29 at a local time of day (the stand-in's local time is UTC), as refresh shows it.
static std::string serial_shown(int hour, int minute, double seconds)
{
    return "n:" + std::to_string(45351 + ((hour * 60 + minute) * 60 + seconds) / 86400);
}

// A Time topic links its field as a value topic does, and one update marks both.
TEST_F(TopicTableTest, TimeTopicsShowWhenTheValueCame)
{
    SOCKET feed = handshaken_feed_client();
    EXPECT_EQ(connect(a, 1, u"Time", u"1234", u"lastprice"), CONNECT_BLANK);
    EXPECT_EQ(connect(a, 2, u"1234.lastprice"), CONNECT_BLANK);
    EXPECT_EQ(requests, std::vector<std::string>{"1234.lastprice"});
    EXPECT_EQ(links("1234.lastprice"), 2u);
    standin::script().system_time = system_time_of(2024, 2, 29, 13, 45, 30, 250);
    feed_client_sends(feed, client_frame(0x81, "{\"key\":\"1234.lastprice\",\"value\":12.5}"));
    EXPECT_EQ(refresh(a),
              (std::map<long, std::string>{{1, serial_shown(13, 45, 30.25)}, {2, "n:12.500000"}}));
    EXPECT_EQ(connect(b, 1, u"TIME", u"1234.lastprice"), CONNECT_VALUE);
    disconnect_topic(a, 1);
    EXPECT_EQ(links("1234.lastprice"), 2u);
}

// Status topics link no field; a clock that ticks three times before the
// next refresh reaches it as its latest second only.
TEST_F(TopicTableTest, StatusTopicsRefreshWithTheirLatestValue)
{
    standin::script().system_time = system_time_of(2024, 2, 29, 12, 0, 0, 250);
    start_status_topic();
    EXPECT_EQ(connect(a, 1, u"Status", u"clock"), CONNECT_VALUE);
    EXPECT_EQ(connect(a, 2, u"status", u"FEED"), CONNECT_VALUE);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(value.text), value.length), u"Disconnected");
    EXPECT_EQ(registry.instrument_count, 0u);
    for (int second = 1; second <= 3; ++second) {
        standin::script().system_time = system_time_of(2024, 2, 29, 12, 0, second, 4);
        tick_status_clock();
    }
    handshaken_feed_client();
    standin::pump();  // the Status changes reach the tables from the loop
    EXPECT_EQ(refresh(a), (std::map<long, std::string>{{1, serial_shown(12, 0, 3)}, {2, "t:Connected"}}));
    forget_topics(a);
    EXPECT_EQ(registry.active_field_count, 0u);
}

// The notification: one message however many changes, one UpdateNotify per
// table until its next RefreshData.
static std::vector<TopicTable *> notified;
static bool answer = true;
static std::function<void(TopicTable *)> inside_notify;

static bool fake_update_notify(TopicTable *table)
{
    notified.push_back(table);
    if (inside_notify)
        inside_notify(table);
    return answer;
}

class NotifyTest : public TopicTableTest {
protected:
    void SetUp() override
    {
        TopicTableTest::SetUp();
        notified.clear();
        answer = true;
        inside_notify = nullptr;
        connect(a, 1, u"1234.lastprice");
        connect(b, 1, u"1234.bid");
    }
    void pass() { notify_pass(rtd_state.tables.data(), rtd_state.tables.size(), fake_update_notify); }
};

TEST_F(NotifyTest, OneMessageAndOneNotifyUntilTheNextRefresh)
{
    change("1234.bid", "1");  // a field no topic of a names
    pass();
    EXPECT_EQ(notified, std::vector<TopicTable *>{b});
    notified.clear();
    for (int i = 0; i < 5; ++i)
        change("1234.lastprice", "1");
    EXPECT_EQ(notify_messages(), 1u);
    pass();
    pass();
    change("1234.lastprice", "2");
    pass();
    EXPECT_EQ(notified, std::vector<TopicTable *>{a});
    refresh(a);
    change("1234.lastprice", "3");
    pass();
    EXPECT_EQ(notified, (std::vector<TopicTable *>{a, a}));
}

// Excel may call RefreshData inside the program's own UpdateNotify: the
// changes after it need a notify of their own, the ones it took do not.
TEST_F(NotifyTest, RefreshArrivingInsideTheNotify)
{
    std::map<long, std::string> taken;
    inside_notify = [&](TopicTable *table) { taken = refresh(table); };
    change("1234.lastprice", "1");
    pass();
    EXPECT_EQ(taken.size(), 1u);
    EXPECT_FALSE(notify_wanted(a));
    pass();
    EXPECT_EQ(notified.size(), 1u);

    inside_notify = [&](TopicTable *table) {
        refresh(table);
        change("1234.lastprice", "3");  // after the refresh that came inside
    };
    change("1234.lastprice", "2");
    pass();
    EXPECT_TRUE(notify_wanted(a));
    inside_notify = nullptr;
    pass();
    EXPECT_EQ(notified.size(), 3u);
}

TEST_F(NotifyTest, FailedNotifyIsTriedAgainAtTheNextPass)
{
    answer = false;
    change("1234.lastprice", "1");
    pass();
    EXPECT_TRUE(notify_wanted(a));
    answer = true;
    pass();  // the one-second tick
    pass();
    EXPECT_EQ(notified, (std::vector<TopicTable *>{a, a}));
}
