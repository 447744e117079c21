#include "test_support.h"

#include "feed/handshake.h"

#include <cstring>

// Accept values come from RFC 6455's sample and from Python's hashlib.
static std::string response_for(const std::string &accept)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
}

class Handshake : public ProgramTest {
protected:
    int check(const std::string &head)
    {
        std::memset(feed_client.receive_buffer, 0, sizeof feed_client.receive_buffer);
        std::memcpy(feed_client.receive_buffer, head.data(), head.size());
        feed_client.receive_length = head.size();
        feed_client.send_length = 0;
        return perform_handshake(feed_client);
    }
    static std::string response() { return std::string(feed_client.send_buffer, feed_client.send_length); }
    static std::string boxes()
    {
        std::string texts;
        for (const standin::MessageBoxRecord &box : standin::records().message_boxes)
            texts += box.text + (box.caption.empty() && !box.owner ? ";" : " (caption or owner!);");
        return texts;
    }
};

TEST_F(Handshake, Results)
{
    const std::string sample = response_for("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    struct Case {
        const char *what;
        std::string head;
        int result;
        std::string response;  // when done
        std::string boxes;
    } cases[] = {
        {"browser request", upgrade_request(), HANDSHAKE_DONE, sample, ""},
        {"any path", "GET /any/path?x=1 HTTP/1.1\r\n" + key + "\r\n", HANDSHAKE_DONE, sample, ""},
        {"no request line", key + "\r\n", HANDSHAKE_DONE, sample, ""},
        {"lines ended by LF alone are passed over", "GET /\nSec-WebSocket-Key: x\n" + key + "\r\n",
         HANDSHAKE_DONE, sample, ""},
        {"second key wins", "GET / HTTP/1.1\r\nSec-WebSocket-Key: other\r\n" + key + "\r\n",
         HANDSHAKE_DONE, sample, ""},
        {"second blank belongs to the key", "GET / HTTP/1.1\r\nSec-WebSocket-Key:  dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         HANDSHAKE_DONE, response_for("s3mCG3XUBfFRrUGpYOBQiHm5i8g="), ""},
        {"219-character key", "Sec-WebSocket-Key: " + std::string(219, 'k') + "\r\n\r\n", HANDSHAKE_DONE,
         response_for("dGCFGX0nOKRZ9EwljRP9YwS2t+Y="), ""},
        {"220-character key", "Sec-WebSocket-Key: " + std::string(220, 'k') + "\r\n\r\n", HANDSHAKE_REFUSED,
         "", ""},
        {"request line ends at its path", "GET /\r\n" + key + "\r\n", HANDSHAKE_REFUSED, "", ""},
        {"key header in small letters", "GET / HTTP/1.1\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         HANDSHAKE_REFUSED, "", ""},
        {"no key", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", HANDSHAKE_REFUSED, "", ""},
        {"lone CR in a header", "GET / HTTP/1.1\r\nHost: a\rb\r\n" + key + "\r\n", HANDSHAKE_FAILED, "",
         "INVALD HEADER;"},
        {"lone CR after the blank line", upgrade_request() + "\r", HANDSHAKE_FAILED, "", "INVALD HEADER;"},
        {"no blank line yet", "GET / HTTP/1.1\r\n" + key, HANDSHAKE_WAITING, "", ""},
        {"blank line behind a NUL", "GET / HTTP/1.1\r\n" + std::string(1, '\0') + key + "\r\n",
         HANDSHAKE_WAITING, "", ""},
        {"full buffer without a blank line", std::string(FEED_BUFFER_SIZE, 'x'), HANDSHAKE_FAILED, "",
         "NO HEADERS;"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        standin::records().message_boxes.clear();
        EXPECT_EQ(check(c.head), c.result);
        if (c.result == HANDSHAKE_DONE) {
            EXPECT_EQ(response(), c.response);
        }
        EXPECT_EQ(boxes(), c.boxes);
    }
}

TEST_F(Handshake, ResponseReplacesWhatTheSendBufferHeld)
{
    std::memset(feed_client.send_buffer, 'z', sizeof feed_client.send_buffer);
    ASSERT_EQ(check(upgrade_request()), HANDSHAKE_DONE);
    EXPECT_EQ(response(), response_for("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
}
