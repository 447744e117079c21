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
        std::memset(feed_client.receive_inline, 0, sizeof feed_client.receive_inline);
        std::memcpy(feed_client.receive_buffer, head.data(), head.size());
        feed_client.receive_length = head.size();
        feed_client.send_length = 0;
        fault = nullptr;
        return perform_handshake(feed_client, nullptr, &fault);
    }
    static std::string response() { return std::string(feed_client.send_buffer, feed_client.send_length); }
    const char *fault = nullptr;  // what was wrong, for the status line
};

static const std::string SAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ==";
static const std::string SAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
static const std::string KEY_LINE = "Sec-WebSocket-Key: " + SAMPLE_KEY + "\r\n";

struct HeadCase {
    const char *name;
    std::string head;
    int result;
    std::string accept;  // of the response, when done
};

static const std::string GET_LINE = "GET / HTTP/1.1\r\n";

static const HeadCase HEAD_CASES[] = {
    {"BrowserRequest", upgrade_request(), HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"AnyPath", "GET /any/path?x=1 HTTP/1.1\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"AbsoluteUri", "GET http://127.0.0.1:8902/feed HTTP/1.1\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    {"LaterVersion", "GET / HTTP/2.0\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"LinesEndedByLineFeedAlone", "GET / HTTP/1.1\nSec-WebSocket-Key: x\n" + KEY_LINE + "\r\n",
     HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"SecondKeyWins", GET_LINE + "Sec-WebSocket-Key: other\r\n" + KEY_LINE + "\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    // Header names ignore letter case, as HTTP says.
    {"NameAsTornadoWritesIt", GET_LINE + "Sec-Websocket-Key: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    {"NameInSmallLetters", GET_LINE + "sec-websocket-key: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    {"NameInCapitals", GET_LINE + "SEC-WEBSOCKET-KEY: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    // Optional blanks around the value are not part of it.
    {"NoBlankAfterColon", GET_LINE + "Sec-WebSocket-Key:" + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_DONE,
     SAMPLE_ACCEPT},
    {"BlanksAndTabsAroundValue", GET_LINE + "Sec-WebSocket-Key: \t " + SAMPLE_KEY + " \t\r\n\r\n",
     HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"Key219Characters", GET_LINE + "Sec-WebSocket-Key: " + std::string(219, 'k') + "\r\n\r\n",
     HANDSHAKE_DONE, "dGCFGX0nOKRZ9EwljRP9YwS2t+Y="},
    {"Key220Characters", GET_LINE + "Sec-WebSocket-Key: " + std::string(220, 'k') + "\r\n\r\n",
     HANDSHAKE_REFUSED, ""},
    {"KeyOfBlanksOnly", GET_LINE + "Sec-WebSocket-Key:  \t \r\n\r\n", HANDSHAKE_REFUSED, ""},
    {"NameInsideAnotherValue", GET_LINE + "X-Note: " + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"BlankBeforeColon", GET_LINE + "Sec-WebSocket-Key : " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_REFUSED, ""},
    {"LongerName", GET_LINE + "Sec-WebSocket-Key2: " + SAMPLE_KEY + "\r\n\r\n", HANDSHAKE_REFUSED, ""},
    {"NoKey", GET_LINE + "Host: x\r\n\r\n", HANDSHAKE_REFUSED, ""},
    // Only a GET request line opens a head, and the head ends at its blank line.
    {"NoRequestLine", KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"RequestLineEndsAtPath", "GET /\r\n" + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"MethodInSmallLetters", "get / HTTP/1.1\r\n" + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"OlderVersion", "GET / HTTP/1.0\r\n" + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"PostWithTheKeyInItsBody", "POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nx\r\n" + KEY_LINE + "\r\n",
     HANDSHAKE_REFUSED, ""},
    {"KeyOnlyBehindTheBlankLine", GET_LINE + "Host: x\r\n\r\n" + KEY_LINE + "\r\n", HANDSHAKE_REFUSED, ""},
    {"LoneCarriageReturnInHeader", GET_LINE + "Host: a\rb\r\n" + KEY_LINE + "\r\n", HANDSHAKE_FAILED, ""},
    {"LoneCarriageReturnInRequestLine", "GET /a\rb HTTP/1.1\r\n" + KEY_LINE + "\r\n", HANDSHAKE_FAILED, ""},
    {"LoneCarriageReturnBehindTheBlankLine", upgrade_request() + "x\ry", HANDSHAKE_DONE, SAMPLE_ACCEPT},
    {"NoBlankLineYet", GET_LINE + KEY_LINE, HANDSHAKE_WAITING, ""},
    {"BlankLineBehindNul", GET_LINE + std::string(1, '\0') + KEY_LINE + "\r\n", HANDSHAKE_WAITING, ""},
    {"FullBufferWithoutBlankLine", std::string(FEED_BUFFER_SIZE, 'x'), HANDSHAKE_REFUSED, ""},
};

class HandshakeHead : public Handshake, public testing::WithParamInterface<HeadCase> {};

TEST_P(HandshakeHead, Result)
{
    const HeadCase &c = GetParam();
    EXPECT_EQ(check(c.head), c.result);
    if (c.result == HANDSHAKE_DONE) {
        EXPECT_EQ(response(), response_for(c.accept));
    }
    // Every refusal says why; the handshake shows no box itself.
    EXPECT_EQ(fault != nullptr, c.result == HANDSHAKE_REFUSED || c.result == HANDSHAKE_FAILED);
    EXPECT_TRUE(standin::records().message_boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Heads, HandshakeHead, testing::ValuesIn(HEAD_CASES),
                         [](const testing::TestParamInfo<HeadCase> &info) { return info.param.name; });

TEST_F(Handshake, ResponseReplacesWhatTheSendBufferHeld)
{
    std::memset(feed_client.send_buffer, 'z', sizeof feed_client.send_buffer);
    ASSERT_EQ(check(upgrade_request()), HANDSHAKE_DONE);
    EXPECT_EQ(response(), response_for(SAMPLE_ACCEPT));
}
