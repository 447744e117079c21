#include "test_support.h"

#include "feed/handshake.h"

#include <cstring>

// Accept values come from RFC 6455's sample and from Python's hashlib.
static std::string response_for(const std::string &accept)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           accept + "\r\n\r\n";
}

class Handshake : public ProgramTest {
protected:
    int check(const std::string &head)
    {
        std::memset(feed_client.receive_buffer, 0, sizeof feed_client.receive_buffer);
        std::memcpy(feed_client.receive_buffer, head.data(), head.size());
        feed_client.receive_length = head.size();
        feed_client.send_length = 0;
        box_text = nullptr;
        return perform_handshake(feed_client, nullptr, &box_text);
    }
    static std::string response() { return std::string(feed_client.send_buffer, feed_client.send_length); }
    // What the box is to say; the handshake itself shows none.
    std::string box() const
    {
        EXPECT_TRUE(standin::records().message_boxes.empty());
        return box_text ? std::string(box_text) + ";" : "";
    }
    const char *box_text = nullptr;
};

static const std::string SAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ==";
static const std::string SAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
static const std::string KEY_LINE = "Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n";

struct HeadCase {
    const char *name;
    std::string head;
    int result;
    std::string accept;  // of the response, when done
    std::string boxes;
};

static const HeadCase HEAD_CASES[] = {
    {"BrowserRequest", upgrade_request(), HANDSHAKE_DONE, SAMPLE_ACCEPT, ""},
    {"AnyPath", "GET /any/path?x=1 HTTP/1.1\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE, SAMPLE_ACCEPT, ""},
    {"NoRequestLine", KEY_LINE + "\r\n", HANDSHAKE_DONE, SAMPLE_ACCEPT, ""},
    {"LinesEndedByLineFeedAlone", "GET /\nSec-WebSocket-Key: x\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT, ""},
    {"SecondKeyWins", "GET / HTTP/1.1\r\nSec-WebSocket-Key: other\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT, ""},
    // Header names ignore letter case, as HTTP says.
    {"NameAsTornadoWritesIt", "GET / HTTP/1.1\r\nSec-Websocket-Key: " + SAMPLE_KEY + "\r\n\r\n",
     HANDSHAKE_DONE, SAMPLE_ACCEPT, ""},
    {"NameInSmallLetters", "GET / HTTP/1.1\r\nsec-websocket-key: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT, ""},
    {"NameInCapitals", "GET / HTTP/1.1\r\nSEC-WEBSOCKET-KEY: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT, ""},
    // Optional blanks around the value are not part of it.
    {"NoBlankAfterColon", "GET / HTTP/1.1\r\nSec-WebSocket-Key:" + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT, ""},
    {"BlanksAndTabsAroundValue", "GET / HTTP/1.1\r\nSec-WebSocket-Key: \t " + SAMPLE_KEY + " \t\r\n\r\n",
     HANDSHAKE_DONE, SAMPLE_ACCEPT, ""},
    {"Key219Characters", "Sec-WebSocket-Key: " + std::string(219, 'k') + "\r\n\r\n", HANDSHAKE_DONE,
     "dGCFGX0nOKRZ9EwljRP9YwS2t+Y=", ""},
    {"Key220Characters", "Sec-WebSocket-Key: " + std::string(220, 'k') + "\r\n\r\n", HANDSHAKE_REFUSED, "",
     ""},
    {"KeyOfBlanksOnly", "GET / HTTP/1.1\r\nSec-WebSocket-Key:  \t \r\n\r\n", HANDSHAKE_REFUSED, "", ""},
    {"NameInsideAnotherValue", "GET / HTTP/1.1\r\nX-Note: " + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, "", ""},
    {"BlankBeforeColon", "GET / HTTP/1.1\r\nSec-WebSocket-Key : " + SAMPLE_KEY + "\r\n\r\n",
     HANDSHAKE_REFUSED, "", ""},
    {"LongerName", "GET / HTTP/1.1\r\nSec-WebSocket-Key2: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_REFUSED, "",
     ""},
    {"RequestLineEndsAtPath", "GET /\r\n" + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, "", ""},
    {"NoKey", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", HANDSHAKE_REFUSED, "", ""},
    {"LoneCarriageReturnInHeader", "GET / HTTP/1.1\r\nHost: a\rb\r\n" + KEY_LINE + "\r\n", HANDSHAKE_FAILED,
     "", "INVALD HEADER;"},
    {"LoneCarriageReturnAfterBlankLine", upgrade_request() + "\r", HANDSHAKE_FAILED, "", "INVALD HEADER;"},
    {"NoBlankLineYet", "GET / HTTP/1.1\r\n" + KEY_LINE, HANDSHAKE_WAITING, "", ""},
    {"BlankLineBehindNul", "GET / HTTP/1.1\r\n" + std::string(1, '\0') + KEY_LINE + "\r\n", HANDSHAKE_WAITING,
     "", ""},
    {"FullBufferWithoutBlankLine", std::string(FEED_BUFFER_SIZE, 'x'), HANDSHAKE_FAILED, "", "NO HEADERS;"},
};

class HandshakeHead : public Handshake, public testing::WithParamInterface<HeadCase> {};

TEST_P(HandshakeHead, Result)
{
    const HeadCase &c = GetParam();
    EXPECT_EQ(check(c.head), c.result);
    if (c.result == HANDSHAKE_DONE) {
        EXPECT_EQ(response(), response_for(c.accept));
    }
    EXPECT_EQ(box(), c.boxes);
}

INSTANTIATE_TEST_SUITE_P(Heads, HandshakeHead, testing::ValuesIn(HEAD_CASES),
                         [](const testing::TestParamInfo<HeadCase> &info) { return info.param.name; });

TEST_F(Handshake, ResponseReplacesWhatTheSendBufferHeld)
{
    std::memset(feed_client.send_buffer, 'z', sizeof feed_client.send_buffer);
    ASSERT_EQ(check(upgrade_request()), HANDSHAKE_DONE);
    EXPECT_EQ(response(), response_for(SAMPLE_ACCEPT));
}
