#include "test_support.h"

#include <cstring>

class SendRequest : public ProgramTest {};

TEST_F(SendRequest, NothingWhileNoClientIsOpen)
{
    SOCKET s = standin::incoming_connection();
    feed_client.socket = s;
    for (FeedState state : {FEED_NONE, FEED_HANDSHAKING}) {
        feed_client.state = state;
        EXPECT_EQ(send_request("1234.lastprice"), 0);
    }
    EXPECT_EQ(feed_client.send_length, 0u);
    EXPECT_EQ(standin::socket_state(s).send_calls, 0);
}

TEST_F(SendRequest, FrameBytesAndLengthForms)
{
    SOCKET feed = open_feed_client();
    struct Case {
        size_t item_length;
        std::string header;
    } cases[] = {
        {14, std::string("\x81\x20", 2)},
        {107, std::string("\x81\x7D", 2)},
        {108, std::string("\x81\x7E\x00\x7E", 4)},
        {65517, std::string("\x81\x7E\xFF\xFF", 4)},
        {65518, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item_length);
        standin::socket_state(feed).sent.clear();
        std::string item = "1234." + std::string(c.item_length - 5, 'x');
        ASSERT_EQ(send_request(item.c_str()), 0);
        EXPECT_EQ(standin::socket_state(feed).sent, c.header + "{ \"request\" : \"" + item + "\" }");
        EXPECT_EQ(feed_client.send_length, 0u);
    }
    standin::socket_state(feed).sent.clear();
    send_request("1234.lastprice");
    EXPECT_EQ(standin::socket_state(feed).sent.size(), 34u);
}

// The socket takes `room` bytes, then reports itself full until FD_WRITE.
TEST_F(SendRequest, FullSocketQueuesInOrderBehindTheSendBuffer)
{
    SOCKET feed = open_feed_client();
    standin::socket_state(feed).send_room = 10;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        std::string item = "1234.field" + std::to_string(i);
        ASSERT_EQ(send_request(item.c_str()), 0) << i;
        expected += request_frame(item);
    }
    EXPECT_EQ(feed_client.send_length, FEED_BUFFER_SIZE);
    EXPECT_EQ(feed_client.overflow_length - feed_client.overflow_start,
              expected.size() - 10 - FEED_BUFFER_SIZE);

    standin::socket_state(feed).send_room = -1;
    ASSERT_EQ(send_queued(feed_client, feed), 0);
    EXPECT_EQ(standin::socket_state(feed).sent, expected);
    EXPECT_EQ(feed_client.send_length, 0u);
    EXPECT_EQ(feed_client.overflow_length, 0u);
}

TEST_F(SendRequest, SendErrorKeepsTheFrameQueued)
{
    SOCKET feed = open_feed_client();
    standin::socket_state(feed).send_error = WSAECONNRESET;
    EXPECT_EQ(send_request("1234.lastprice"), -1);
    EXPECT_EQ(feed_client.send_length, 34u);
    EXPECT_EQ(feed_client.state, FEED_OPEN);
}
