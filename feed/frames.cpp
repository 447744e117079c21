#include "feed/frames.h"

#include "feed/feed_client.h"

#include <cstring>

/*
 * Request frame, one per field the spreadsheets ask for: an unmasked text
 * frame (0x81), the length code (126 and a 16-bit length above 125 bytes),
 * and the payload
 *     { "request" : "1234.lastprice" }
 * that is the item name plus 18 characters, the item inserted unchanged.
 */
static const char OPENING[] = "{ \"request\" : \"";
static const char CLOSING[] = "\" }";

int send_request(const char *item)
{
    if (feed_client.state != FEED_OPEN)
        return 0;

    size_t item_length = std::strlen(item);
    size_t payload_length = (sizeof OPENING - 1) + item_length + (sizeof CLOSING - 1);
    unsigned char header[4];
    size_t header_size = 2;
    header[0] = 0x81;
    if (payload_length <= 125) {
        header[1] = static_cast<unsigned char>(payload_length);
    } else {
        // The queue holds 10248 bytes, so a frame that fits never needs the
        // 64-bit length form.
        header[1] = 126;
        header_size = 4;
    }
    if (payload_length > FEED_BUFFER_SIZE ||
        header_size + payload_length > FEED_BUFFER_SIZE - feed_client.send_length)
        return -1;
    if (header_size == 4) {
        u_short length = htons(static_cast<u_short>(payload_length));
        std::memcpy(header + 2, &length, 2);
    }

    char *out = feed_client.send_buffer + static_cast<size_t>(feed_client.send_length);
    std::memcpy(out, header, header_size);
    out += header_size;
    std::memcpy(out, OPENING, sizeof OPENING - 1);
    out += sizeof OPENING - 1;
    std::memcpy(out, item, item_length);
    out += item_length;
    std::memcpy(out, CLOSING, sizeof CLOSING - 1);
    feed_client.send_length += header_size + payload_length;

    WSABUF buffer;
    buffer.buf = feed_client.send_buffer;
    buffer.len = static_cast<ULONG>(feed_client.send_length);
    DWORD sent = 0;
    if (WSASend(feed_client.socket, &buffer, 1, &sent, 0, nullptr, nullptr) != 0)
        return -1;
    std::memmove(feed_client.send_buffer, feed_client.send_buffer + sent,
                 static_cast<size_t>(feed_client.send_length - sent));
    feed_client.send_length -= sent;
    return 0;
}
