// Each scenario is rerun once per allocation it makes, the n-th failing
// (tests/unit/failmalloc.h), until a run makes no failing allocation: every
// out-of-memory path is reached, and after each the program must be whole,
// tell the truth and go on working once memory is back.
#include "failmalloc.h"
#include "feed/update_reader.h"
#include "test_support.h"

#include <optional>
#include <vector>

namespace {

std::string update(const std::string &key, const std::string &value)
{
    return client_frame(0x81, "{\"key\":\"" + key + "\",\"value\":\"" + value + "\"}");
}

// What a scenario works with: a sheet linked to the program, a feed client.
struct World {
    HCONV sheet = nullptr;
    SOCKET client = INVALID_SOCKET;
    std::vector<bool> linked;
    std::optional<std::string> answer;
};

void program_with_client(World &w)
{
    ASSERT_TRUE(start_program());
    w.sheet = standin::connect("Quellvarden", "Quote");
    w.client = handshaken_feed_client();
}

const std::string NEW_ITEMS[] = {"7.bid", "7.ask", "8.bid"};

// New fields: each advise start either makes its field and asks the feed
// for it, or is refused and leaves no trace; the count shown is the truth.
void link_new_items(World &w)
{
    for (const std::string &item : NEW_ITEMS)
        w.linked.push_back(standin::advise(w.sheet, item, CF_TEXT));
}

void check_new_items(World &w, bool)
{
    std::string requests;
    size_t count = 0;
    for (size_t i = 0; i < w.linked.size(); ++i) {
        unsigned long long insref = NEW_ITEMS[i][0] - '0';
        Instrument *instrument = find_instrument(insref);
        InstrumentField *field = instrument ? find_field(instrument, NEW_ITEMS[i].c_str() + 2) : nullptr;
        EXPECT_EQ(field != nullptr, w.linked[i]) << NEW_ITEMS[i];
        if (w.linked[i]) {
            requests += request_frame(NEW_ITEMS[i]);
            ++count;
        }
    }
    EXPECT_EQ(standin::socket_state(w.client).sent, requests);
    EXPECT_EQ(registry.active_field_count, count);
    EXPECT_EQ(status_line(1), count ? "Number of fields: " + std::to_string(count) : "");
    for (size_t i = 0; i < w.linked.size(); ++i) {
        if (!w.linked[i]) {
            EXPECT_TRUE(standin::advise(w.sheet, NEW_ITEMS[i], CF_TEXT));
            requests += request_frame(NEW_ITEMS[i]);
        }
    }
    EXPECT_EQ(standin::socket_state(w.client).sent, requests);
}

// A value from the feed: either stored and handed to every link (a link
// whose rendering failed gets no data), or dropped as a whole and said so.
void program_with_linked_value(World &w)
{
    program_with_client(w);
    ASSERT_TRUE(standin::advise(w.sheet, "1234.lastprice", xltable_format));
    ASSERT_TRUE(standin::advise(standin::connect("Quellvarden", "Quote"), "1234.lastprice", CF_TEXT));
    feed_client_sends(w.client, update("1234.lastprice", "1"));
    standin::records().deliveries.clear();
}

void update_value(World &w)
{
    feed_client_sends(w.client, update("1234.lastprice", "12.5"));
}

void check_value(World &w, bool)
{
    const char *value = find_field(find_instrument(1234), "lastprice")->value;
    const auto &deliveries = standin::records().deliveries;
    if (value && std::string(value) == "1") {
        EXPECT_TRUE(deliveries.empty());
        EXPECT_EQ(status_line(4), "Value dropped, out of memory: 1234.lastprice");
    } else {
        ASSERT_STREQ(value, "12.5");
        ASSERT_EQ(deliveries.size(), 2u);
        for (const standin::Delivery &d : deliveries) {
            if (d.bytes) {
                EXPECT_EQ(*d.bytes, d.format == CF_TEXT ? std::string("12.5\0", 5) : xltable_number(12.5));
            }
        }
    }
    update_value(w);
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "12.5");
    feed_client_sends(w.client, update("1234.lastprice", "13"));
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "13");
}

// A cell's one-time request: the value, or no data; never a wrong one.
void request_value(World &w)
{
    w.answer = standin::request(w.sheet, "1234.lastprice", xltable_format);
}

void check_answer(World &w, bool failed)
{
    if (!failed || w.answer) {
        EXPECT_EQ(w.answer, xltable_number(1));
    }
    EXPECT_EQ(standin::request(w.sheet, "1234.lastprice", xltable_format), xltable_number(1));
}

// Requests for a client that reads nothing pile up behind the send buffer;
// when that queue cannot grow, the client is dropped rather than sent a
// broken stream, and the next client is asked for everything.
void program_with_stalled_client(World &w)
{
    program_with_client(w);
    standin::socket_state(w.client).send_room = 0;
}

void queue_requests(World &)
{
    for (int i = 0; i < 400; ++i)
        send_request(("1234.field" + std::to_string(i)).c_str());
}

void check_queue(World &w, bool failed)
{
    EXPECT_EQ(standin::socket_state(w.client).sent, "");
    if (failed && feed_client.socket != w.client) {
        EXPECT_EQ(feed_client.state, FEED_NONE);
        EXPECT_EQ(feed_client.overflow, nullptr);
        EXPECT_EQ(feed_client.send_length, 0u);
        return;
    }
    std::string expected;
    for (int i = 0; i < 400; ++i)
        expected += request_frame("1234.field" + std::to_string(i));
    standin::socket_state(w.client).send_room = -1;
    socket_event(w.client, FD_WRITE);
    EXPECT_TRUE(standin::socket_state(w.client).sent == expected) << "requests lost or broken";
}

// Links past the sizes of the index's first tables and of the first arrays:
// each either lands whole, findable and asked of the feed, or leaves no trace.
std::vector<std::string> many_items()
{
    std::vector<std::string> items;
    for (int i = 0; i < 90; ++i)
        items.push_back(std::to_string(100 + i / 2) + ".f" + std::to_string(i % 2));
    return items;
}

void link_many_items(World &w)
{
    for (const std::string &item : many_items())
        w.linked.push_back(standin::advise(w.sheet, item, CF_TEXT));
}

void check_many_items(World &w, bool)
{
    const std::vector<std::string> items = many_items();
    std::string requests;
    for (size_t i = 0; i < items.size(); ++i) {
        Instrument *instrument = find_instrument(std::stoull(items[i]));
        const char *name = items[i].c_str() + items[i].find('.') + 1;
        InstrumentField *field = instrument ? find_field(instrument, name) : nullptr;
        EXPECT_EQ(field != nullptr, w.linked[i]) << items[i];
        if (w.linked[i])
            requests += request_frame(items[i]);
    }
    EXPECT_TRUE(standin::socket_state(w.client).sent == requests);
    for (size_t i = 0; i < items.size(); ++i) {
        if (!w.linked[i]) {
            EXPECT_TRUE(standin::advise(w.sheet, items[i], CF_TEXT)) << items[i];
        }
    }
    for (const std::string &item : items) {
        Instrument *instrument = find_instrument(std::stoull(item));
        ASSERT_NE(instrument, nullptr);
        EXPECT_NE(find_field(instrument, item.c_str() + item.find('.') + 1), nullptr) << item;
    }
    EXPECT_EQ(registry.active_field_count, items.size());
}

// A message over RECEIVE_KEEP, in fragments, batching 3,000
// updates (of fields nobody asked for, but the last): the receive buffer
// and the batch grow, and where memory fails the message is dropped whole
// and said so, or just the value is; the feed goes on once memory is back.
std::string large_message(const std::string &value)
{
    std::string payload = "[";
    for (int i = 0; i < 3000; ++i)
        payload += "{\"key\":\"999.x\",\"value\":\"" + std::to_string(i) + "\"},";
    payload += "{\"key\":\"1234.lastprice\",\"value\":\"" + value + "\"}]";
    size_t third = payload.size() / 3;
    return client_frame(0x01, payload.substr(0, third)) + client_frame(0x00, payload.substr(third, third)) +
           client_frame(0x80, payload.substr(2 * third));
}

void receive_large_message(World &w)
{
    feed_client_sends(w.client, large_message("large"));
}

void check_large_message(World &w, bool)
{
    const char *value = find_field(find_instrument(1234), "lastprice")->value;
    std::string line = status_line(4);
    SOCKET client = w.client;
    if (std::string(value) == "large") {
        EXPECT_EQ(line, "");
        EXPECT_EQ(standin::records().deliveries.size(), 2u);
    } else {
        EXPECT_STREQ(value, "1");
        EXPECT_TRUE(line.rfind("Message dropped, out of memory: ", 0) == 0 ||
                    line.rfind("Updates dropped, out of memory: [{", 0) == 0 ||
                    line == "Value dropped, out of memory: 1234.lastprice")
            << line;
        if (feed_client.state != FEED_OPEN) {
            // The receive buffer could not grow: the client is told so.
            const std::string &sent = standin::socket_state(client).sent;
            EXPECT_EQ(sent.substr(sent.size() - 4), std::string("\x88\x02\x03\xF3", 4));
            socket_event(client, FD_CLOSE);
            client = handshaken_feed_client();
        }
    }
    feed_client_sends(client, large_message("again"));
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "again");
    EXPECT_EQ(feed_client.receive_buffer, feed_client.receive_inline);
}

struct Scenario {
    const char *name;
    void (*prepare)(World &);
    void (*act)(World &);
    void (*check)(World &, bool failed);
};

class OutOfMemory : public ProgramTest, public testing::WithParamInterface<Scenario> {
protected:
    void TearDown() override
    {
        failmalloc::off();
        ProgramTest::TearDown();
    }
};

}  // namespace

TEST_P(OutOfMemory, EveryAllocationMayFail)
{
    const Scenario &s = GetParam();
    for (long n = 1; n <= 1000; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        fresh_process();
        World world;
        s.prepare(world);
        if (HasFatalFailure())
            return;
        failmalloc::fail_nth(n);
        s.act(world);
        bool failed = failmalloc::failed();
        failmalloc::off();
        s.check(world, failed);
        if (!failed) {
            // The scenario made n - 1 allocations, and each has failed once.
            EXPECT_GT(n, 1) << "no allocation could be failed: is malloc wrapped?";
            return;
        }
    }
    ADD_FAILURE() << "the scenario still allocates after 1000 allocations";
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, OutOfMemory,
    testing::Values(
        Scenario{"LinkingNewFields", program_with_client, link_new_items, check_new_items},
        Scenario{"UpdatingAValue", program_with_linked_value, update_value, check_value},
        Scenario{"RenderingForACell", program_with_linked_value, request_value, check_answer},
        Scenario{"QueueingForAStalledClient", program_with_stalled_client, queue_requests, check_queue},
        Scenario{"LinkingPastTheFirstTableSizes", program_with_client, link_many_items, check_many_items},
        Scenario{"ReceivingALargeMessage", program_with_linked_value, receive_large_message,
                 check_large_message}),
    [](const testing::TestParamInfo<Scenario> &info) { return info.param.name; });

// The reader works in the payload itself: a batch with escapes, numbers and
// nested members makes no allocation that could fail.
TEST(UpdateReader, AllocatesNothing)
{
    std::string payload =
        R"([{"key":"1234.bid","value":"Z\u00fcrich \"12\" \ud83d\ude00"},)"
        R"({"m":{"n":[1,2,{"o":null}]},"value":-3e-2,"key":"5.x"},{"key":"5.y","value":null}])";
    failmalloc::fail_nth(1);
    int count = read_updates(
        payload.data(), payload.size(), [](void *, const FeedUpdate &) { return true; }, nullptr);
    bool allocated = failmalloc::failed();
    failmalloc::off();
    EXPECT_EQ(count, 3);
    EXPECT_FALSE(allocated);
}
