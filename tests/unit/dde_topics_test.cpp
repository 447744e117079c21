// The three topics of the DDE service as a spreadsheet reaches them through
// the DDE library, after what the feed did: one table of what each topic
// and item answers in each format, and the posts that bring a change to
// the advise loops of each topic.
#include "app/status_relay.h"
#include "test_support.h"

#include <cstring>
#include <optional>

// The instants of the feed's story, in UTC; the stand-in's local time is
// an hour ahead.
static const uint64_t START = system_time_of(2024, 2, 29, 12, 0, 0, 250);
static const uint64_t T1 = system_time_of(2024, 2, 29, 13, 45, 30, 250);
static const uint64_t T2 = system_time_of(2024, 2, 29, 13, 45, 31, 500);
// Excel's serial day of 2024-02-29, and of a local time of day that day.
constexpr double LEAP_DAY = 45351;
static double on_leap_day(int hour, int minute, double seconds)
{
    return LEAP_DAY + ((hour * 60 + minute) * 60 + seconds) / 86400;
}

static const char ITEM[] = "1234.lastprice";

class TopicsTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        standin::script().system_time = START;
        standin::script().utc_offset_minutes = [](ULONGLONG) { return 60; };
        ASSERT_TRUE(start_program());
    }
    HCONV sheet(const char *topic)
    {
        HCONV conversation = standin::connect("Quellvarden", topic);
        EXPECT_NE(conversation, nullptr);
        return conversation;
    }
    void open_feed() { feed = handshaken_feed_client(); }
    // One update from the feed, arriving at `when`; value is JSON.
    void send(uint64_t when, const std::string &item, const std::string &value)
    {
        standin::script().system_time = when;
        feed_client_sends(feed, client_frame(0x81, "{\"key\":\"" + item + "\",\"value\":" + value + "}"));
    }
    SOCKET feed = 0;
};

// What happened before the cell asks.
enum Story {
    NOTHING,           // the program has just started
    HANDSHAKING,       // a feed client connected, its handshake not done
    OPEN,              // a feed client through its handshake
    OPEN_AT_T1,        // ... that finished it at T1
    CLOSED,            // a feed client that came and closed
    VALUE_AT_T1,       // the feed sent 12.5 for ITEM at T1
    EMPTY_TEXT_AT_T2,  // ... and "" at T2
    NULL_AT_T2,        // ... and null at T2
    SAME_AT_T2,        // ... and 12.5 again at T2
    TWO_FIELDS,        // ITEM linked on Quote, 1234.bid on Time
};

struct DdeTopicCase {
    const char *name;
    const char *topic, *item;
    Story story;
    const char *text;  // the answer in text formats; null: the link and the requests are refused
    bool number;       // XlTable carries `value` as a number; else `text` as a string
    double value;
};

static const DdeTopicCase DDE_TOPIC_CASES[] = {
    {"StatusFeedBeforeAnyClient", "Status", "feed", NOTHING, "Disconnected", false, 0},
    {"StatusFeedDuringTheHandshake", "Status", "feed", HANDSHAKING, "Disconnected", false, 0},
    {"StatusFeedOpen", "Status", "feed", OPEN, "Connected", false, 0},
    {"StatusFeedAfterTheClose", "Status", "feed", CLOSED, "Disconnected", false, 0},
    {"StatusSinceIsTheStartUntilAChange", "Status", "since", NOTHING, "2024-02-29 13:00:00.250", true,
     on_leap_day(13, 0, 0.25)},
    {"StatusSinceIsTheLastChange", "Status", "since", OPEN_AT_T1, "2024-02-29 14:45:30.250", true,
     on_leap_day(14, 45, 30.25)},
    {"StatusClockIsAWholeSecond", "Status", "clock", NOTHING, "2024-02-29 13:00:00.000", true,
     on_leap_day(13, 0, 0)},
    {"StatusFieldsCountsQuoteAndTimeLinks", "Status", "fields", TWO_FIELDS, "2", true, 2},
    {"StatusInAnotherLetterCase", "sTaTuS", "FEED", OPEN, "Connected", false, 0},
    {"StatusUnknownItem", "Status", "feeds", OPEN, nullptr, false, 0},
    {"TimeBeforeAnyValue", "Time", ITEM, OPEN, " ", false, 0},
    {"TimeOfTheLastValue", "Time", ITEM, VALUE_AT_T1, "2024-02-29 14:45:30.250", true,
     on_leap_day(14, 45, 30.25)},
    {"TimeKeptByAnEmptyText", "Time", ITEM, EMPTY_TEXT_AT_T2, "2024-02-29 14:45:30.250", true,
     on_leap_day(14, 45, 30.25)},
    {"TimeMovedByNull", "Time", ITEM, NULL_AT_T2, "2024-02-29 14:45:31.500", true, on_leap_day(14, 45, 31.5)},
    {"TimeMovedByTheSameValue", "Time", ITEM, SAME_AT_T2, "2024-02-29 14:45:31.500", true,
     on_leap_day(14, 45, 31.5)},
    {"TimeInAnotherLetterCase", "TIME", ITEM, VALUE_AT_T1, "2024-02-29 14:45:30.250", true,
     on_leap_day(14, 45, 30.25)},
    {"TimeOfAnItemQuoteRefuses", "Time", "01234.lastprice", OPEN, nullptr, false, 0},
    {"UnknownTopic", "Times", ITEM, VALUE_AT_T1, nullptr, false, 0},
};

class TopicAnswers : public TopicsTest, public testing::WithParamInterface<DdeTopicCase> {
protected:
    void play(Story story)
    {
        if (story == NOTHING)
            return;
        if (story == HANDSHAKING) {
            connect_feed_client();
            return;
        }
        if (story == OPEN_AT_T1)
            standin::script().system_time = T1;
        open_feed();
        if (story == CLOSED)
            feed_client_sends(feed, client_frame(0x88, std::string("\x03\xE8", 2)));
        if (story == TWO_FIELDS) {
            ASSERT_TRUE(standin::advise(sheet("Quote"), ITEM, CF_TEXT));
            ASSERT_TRUE(standin::advise(sheet("Time"), "1234.bid", CF_TEXT));
        }
        if (story < VALUE_AT_T1 || story > SAME_AT_T2)
            return;
        send(T1, ITEM, "12.5");
        const char *later[] = {"\"\"", "null", "12.5"};
        if (story != VALUE_AT_T1)
            send(T2, ITEM, later[story - EMPTY_TEXT_AT_T2]);
    }
};

// The text in UTF-16LE with its wide NUL, as CF_UNICODETEXT carries it.
static std::string utf16(const std::string &ascii)
{
    std::string bytes;
    for (char c : ascii + '\0') {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

// An XlTable number block whose double lies within a millisecond's hundredth of `expected`.
static void expect_xltable_number(const std::optional<std::string> &bytes, double expected)
{
    ASSERT_TRUE(bytes.has_value());
    std::string block = xltable_number(expected);
    ASSERT_EQ(bytes->size(), block.size());
    EXPECT_EQ(bytes->substr(0, 12), block.substr(0, 12));
    double carried;
    std::memcpy(&carried, bytes->data() + 12, 8);
    EXPECT_NEAR(carried, expected, 1e-5 / 86400);
}

TEST_P(TopicAnswers, InEveryFormat)
{
    const DdeTopicCase &c = GetParam();
    HCONV conversation = sheet(c.topic);
    // The link comes first, as the cell does; a Time link is what makes the field.
    bool linked = standin::advise(conversation, c.item, CF_TEXT);
    play(c.story);
    standin::pump();
    ASSERT_EQ(linked, c.text != nullptr);

    std::optional<std::string> text = standin::request(conversation, c.item, CF_TEXT);
    std::optional<std::string> wide = standin::request(conversation, c.item, CF_UNICODETEXT);
    std::optional<std::string> table = standin::request(conversation, c.item, xltable_format);
    if (!c.text) {
        EXPECT_EQ(text, std::nullopt);
        EXPECT_EQ(wide, std::nullopt);
        EXPECT_EQ(table, std::nullopt);
        return;
    }
    EXPECT_EQ(text, std::string(c.text) + '\0');
    EXPECT_EQ(wide, utf16(c.text));
    if (c.number)
        expect_xltable_number(table, c.value);
    else
        EXPECT_EQ(table, xltable_string(c.text));
}

INSTANTIATE_TEST_SUITE_P(Topics, TopicAnswers, testing::ValuesIn(DDE_TOPIC_CASES),
                         [](const testing::TestParamInfo<DdeTopicCase> &info) { return info.param.name; });

TEST_F(TopicsTest, TimeLinksTheFieldAsQuoteDoes)
{
    open_feed();
    HCONV times = sheet("Time");
    ASSERT_TRUE(standin::advise(times, ITEM, CF_TEXT));
    EXPECT_EQ(standin::socket_state(feed).sent, request_frame(ITEM));
    EXPECT_EQ(status_line(STATUS_FIELDS), "Number of fields: 1");
    ASSERT_TRUE(standin::advise(sheet("Quote"), ITEM, CF_TEXT));
    EXPECT_EQ(standin::socket_state(feed).sent, request_frame(ITEM)) << "asked once";
    EXPECT_TRUE(standin::unadvise(times, ITEM, CF_TEXT));
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->advise_count, 1u);
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->time_links, 0u);
}

// Each loop hears once, in its own topic; a field on Quote alone is posted
// on Quote alone, as before Time existed.
TEST_F(TopicsTest, EachUpdateReachesEveryLoopOnceInItsOwnTopic)
{
    open_feed();
    HCONV quotes = sheet("Quote"), times = sheet("Time");
    ASSERT_TRUE(standin::advise(quotes, ITEM, CF_TEXT));
    ASSERT_TRUE(standin::advise(quotes, "1234.bid", CF_TEXT));
    send(T1, "1234.bid", "1");
    auto made_time_handle = [] {
        for (const standin::StringRecord &made : standin::records().string_handles)
            if (made.text == "Time")
                return true;
        return false;
    };
    EXPECT_FALSE(made_time_handle()) << "no Time post without a Time link";

    ASSERT_TRUE(standin::advise(times, ITEM, CF_TEXT));
    standin::records().deliveries.clear();
    send(T1, ITEM, "12.5");
    send(T1, "1234.bid", "2");
    const auto &deliveries = standin::records().deliveries;
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[0].topic, "Quote");
    EXPECT_EQ(deliveries[0].bytes, std::string("12.5\0", 5));
    EXPECT_EQ(deliveries[1].topic, "Time");
    EXPECT_EQ(deliveries[1].bytes, std::string("2024-02-29 14:45:30.250\0", 24));
    EXPECT_EQ(deliveries[2].item, "1234.bid");

    // Once the Time loop stops, the field costs one post again.
    EXPECT_TRUE(standin::unadvise(times, ITEM, CF_TEXT));
    standin::records().deliveries.clear();
    send(T2, ITEM, "13");
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].topic, "Quote");
}

TEST_F(TopicsTest, StatusChangesReachItsLoopsOnceTheMessageIsHandled)
{
    HCONV status = sheet("Status");
    ASSERT_TRUE(standin::advise(status, "feed", CF_TEXT));
    ASSERT_TRUE(standin::advise(status, "Fields", CF_TEXT));
    open_feed();  // its socket events are handled from the loop, which posts
    const auto &deliveries = standin::records().deliveries;
    ASSERT_EQ(deliveries.size(), 1u);
    // A link changes the count inside a DDE transaction: posted only from the loop.
    ASSERT_TRUE(standin::advise(sheet("Quote"), ITEM, CF_TEXT));
    EXPECT_EQ(deliveries.size(), 1u);
    standin::pump();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].item, "feed");
    EXPECT_EQ(deliveries[0].bytes, std::string("Connected\0", 10));
    EXPECT_EQ(deliveries[1].item, "Fields");
    EXPECT_EQ(deliveries[1].bytes, std::string("1\0", 2));

    // Items nobody links cost no post: with the fields loop stopped, the
    // close (which changes feed and since) reaches the feed loop alone.
    ASSERT_TRUE(standin::unadvise(status, "fields", CF_TEXT));
    standin::records().deliveries.clear();
    feed_client_sends(feed, client_frame(0x88, std::string("\x03\xE8", 2)));
    standin::pump();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].bytes, std::string("Disconnected\0", 13));
}
