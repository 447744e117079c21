// perform_handshake on whatever a client's first bytes are: it changes no
// received byte but to end a line or a value, writes nothing behind the
// received bytes or behind its response, waits
// exactly while no blank line has come and the buffer has room, says what
// was wrong with every head it refuses and shows no box itself, answers
// only a head that starts with a GET request line, and a response it
// writes is a whole 101 head within the send buffer.
//
// Input: byte 0 chooses the answer of every message box (box_answer); the rest are the bytes received, at most a full receive buffer.
#include "feed/handshake.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <cstdint>
#include <cstring>
#include <string>

static const char FILL = '\xA5';  // stands where nothing may be written

static bool is_base64_digit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

static void check_response(const FeedClient &client)
{
    const std::string response(client.send_buffer, static_cast<size_t>(client.send_length));
    FUZZ_CHECK(client.send_length < FEED_BUFFER_SIZE);
    FUZZ_CHECK(std::strlen(client.send_buffer) == client.send_length);
    FUZZ_CHECK(response.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0) == 0);
    FUZZ_CHECK(response.find("\r\n\r\n") == response.size() - 4);
    static const char ACCEPT[] = "\r\nSec-WebSocket-Accept: ";
    size_t at = response.find(ACCEPT);
    FUZZ_CHECK(at != std::string::npos);
    size_t value = at + sizeof ACCEPT - 1;
    FUZZ_CHECK(response.compare(value + 28, 2, "\r\n") == 0);
    for (size_t i = value; i < value + 28; ++i)
        FUZZ_CHECK(is_base64_digit(response[i]));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fresh_process();
    standin::script().message_box_answer = box_answer(data[0]);
    size_t length = size - 1 < FEED_BUFFER_SIZE ? size - 1 : FEED_BUFFER_SIZE;

    // As a read leaves the record: the bytes, a NUL behind them.
    FeedClient &client = feed_client;
    std::memset(client.receive_inline, FILL, sizeof client.receive_inline);
    std::memset(client.send_buffer, FILL, sizeof client.send_buffer);
    std::memcpy(client.receive_buffer, data + 1, length);
    client.receive_buffer[length] = '\0';
    client.receive_length = length;
    const std::string received(client.receive_buffer, length);
    bool has_blank_line = std::strstr(received.c_str(), "\r\n\r\n") != nullptr;

    const char *fault = nullptr;
    HandshakeResult result = perform_handshake(client, nullptr, &fault);

    FUZZ_CHECK(client.receive_length == length);
    FUZZ_CHECK(client.receive_buffer[length] == '\0');
    for (size_t i = length + 1; i < sizeof client.receive_inline; ++i)
        FUZZ_CHECK(client.receive_buffer[i] == FILL);
    // Lines are ended in place, and nothing else is changed.
    for (size_t i = 0; i < length; ++i) {
        char was = received[i], now = client.receive_buffer[i];
        FUZZ_CHECK(now == was || (now == '\0' && (was == '\r' || was == ' ' || was == '\t')));
    }

    FUZZ_CHECK((result == HANDSHAKE_WAITING) == (!has_blank_line && length < FEED_BUFFER_SIZE));
    FUZZ_CHECK((result == HANDSHAKE_FAILED || result == HANDSHAKE_REFUSED) == (fault != nullptr));
    FUZZ_CHECK(standin::records().message_boxes.empty());
    if (result == HANDSHAKE_DONE) {
        // Only a GET request line opens a head that is answered.
        FUZZ_CHECK(has_blank_line && received.rfind("GET ", 0) == 0);
        check_response(client);
        for (size_t i = client.send_length + 1; i < sizeof client.send_buffer; ++i)
            FUZZ_CHECK(client.send_buffer[i] == FILL);
    }
    fresh_process();
    return 0;
}
