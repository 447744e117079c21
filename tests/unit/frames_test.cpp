#include "test_support.h"

class SendRequest : public ProgramTest {};

TEST_F(SendRequest, NothingWhileNoClientIsOpen)
{
    SOCKET s = standin::incoming_connection();
    feed_client.socket = s;
    for (int state : {FEED_NONE, FEED_HANDSHAKING}) {
        feed_client.state = state;
        EXPECT_EQ(send_request("1234.lastprice"), 0);
    }
    EXPECT_EQ(feed_client.send_length, 0u);
    EXPECT_EQ(standin::socket_state(s).send_calls, 0);
}

TEST_F(SendRequest, FrameHeaderGrowsPast125Bytes)
{
    SOCKET feed = open_feed_client();
    struct Case {
        size_t item_length;
        std::string header;
    } cases[] = {
        {14, std::string("\x81\x20", 2)},
        {107, std::string("\x81\x7D", 2)},
        {108, std::string("\x81\x7E\x00\x7E", 4)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item_length);
        standin::socket_state(feed).sent.clear();
        std::string item = "1234." + std::string(c.item_length - 5, 'x');
        ASSERT_EQ(send_request(item.c_str()), 0);
        EXPECT_EQ(standin::socket_state(feed).sent,
                  c.header + "{ \"request\" : \"" + item + "\" }");
    }
    EXPECT_EQ(feed_client.send_length, 0u);
}

TEST_F(SendRequest, UnsentBytesStayQueuedInOrder)
{
    SOCKET feed = open_feed_client();
    standin::socket_state(feed).send_limit = 10;
    ASSERT_EQ(send_request("1234.lastprice"), 0);
    EXPECT_EQ(feed_client.send_length, 24u);
    standin::socket_state(feed).send_limit = -1;
    ASSERT_EQ(send_request("1234.bid"), 0);
    std::string first = std::string("\x81\x20", 2) + "{ \"request\" : \"1234.lastprice\" }";
    std::string second = std::string("\x81\x1A", 2) + "{ \"request\" : \"1234.bid\" }";
    EXPECT_EQ(standin::socket_state(feed).sent, first + second);
}

TEST_F(SendRequest, FailedSendKeepsTheFrameQueued)
{
    SOCKET feed = open_feed_client();
    standin::socket_state(feed).send_error = WSAEWOULDBLOCK;
    EXPECT_EQ(send_request("1234.lastprice"), -1);
    EXPECT_EQ(feed_client.send_length, 34u);
}

TEST_F(SendRequest, FullQueueRefusesWithoutWriting)
{
    SOCKET feed = open_feed_client();
    standin::socket_state(feed).send_error = WSAEWOULDBLOCK;
    const uint64_t fitting = FEED_BUFFER_SIZE / 34;  // 301 frames of 34 bytes
    for (uint64_t i = 0; i < fitting; ++i)
        ASSERT_EQ(send_request("1234.lastprice"), -1);
    ASSERT_EQ(feed_client.send_length, 34 * fitting);
    EXPECT_EQ(send_request("1234.lastprice"), -1);
    EXPECT_EQ(feed_client.send_length, 34 * fitting);
}
