// What each received frame does: a message's fragments joined, a ping, a close.
#include "feed/frames.h"

#include "core/log.h"
#include "core/status_board.h"
#include "feed/feed_messages.h"
#include "feed/frame_codec.h"
#include "feed/receive_buffer.h"
#include "feed/send_queue.h"

#include <cstdio>
#include <cstring>

/*
 * A message is one text frame with FIN set, or fragments (RFC 6455, 5.4):
 *     01 ..  (text, no FIN)   00 ..  (continuation)   80 ..  (continuation, FIN)
 * with control frames (ping, pong, close) allowed between them, each handled
 * at once. The payloads are joined at the front of the receive buffer as they
 * come, over the headers, and the message is applied once it is whole: one
 * update payload, as a message in one frame is. No extension is ever agreed,
 * so the reserved bits must be clear.
 */

// The code to answer a client's close frame with: its own when an endpoint
// may send it (1000-1003, 1007-1011, 3000-4999), else 1000.
static unsigned short close_code_to_echo(const unsigned char *payload, size_t length)
{
    if (length < 2)
        return CLOSE_NORMAL;
    unsigned code = (static_cast<unsigned>(payload[0]) << 8) | payload[1];
    bool sendable =
        (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) || (code >= 3000 && code <= 4999);
    return sendable ? static_cast<unsigned short>(code) : CLOSE_NORMAL;
}

// Libraries that feed clients are built on drop a server that leaves their
// pings unanswered: the pong carries the ping's payload.
static int answer_ping(FeedClient &client, const unsigned char *payload, size_t length)
{
    const char *pieces[] = {reinterpret_cast<const char *>(payload)};
    const size_t sizes[] = {length};
    if (!queue_frame(client, OPCODE_PONG, pieces, sizes, 1))
        return -1;
    return send_queued(client, client.socket) == 0 ? 1 : -1;
}

// Ends the connection over a frame that breaks the rules: the close frame
// carries code, and status line 4 and the log say why. Returns -1 for
// handle_frame.
static int refuse(unsigned short code, const char *format, unsigned long long number)
{
    char why[STATUS_LINE_SIZE];
    std::snprintf(why, sizeof why, format, number);
    print_status(STATUS_ERROR, "%s", why);
    log_event("Frame refused, closing with code %u: %s", code, why);
    close_feed_client(code);
    return -1;
}

// Checks a frame by its header alone, before its payload has come: 0 when
// it may be received, else -1 after refusing it. A message too large is
// refused when the header that makes it so arrives, never read whole.
static int check_header(const FeedClient &client, unsigned char first_byte, const Frame &frame)
{
    if (first_byte & 0x70)
        return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: reserved bits set (0x%02llx)", first_byte);
    bool fin = (first_byte & FRAME_FIN) != 0;
    switch (frame.opcode) {
    case OPCODE_CONTINUATION:
        if (!client.message_open)
            return refuse(CLOSE_PROTOCOL_ERROR,
                          "Protocol error: continuation frame without a message (%llu bytes)",
                          frame.payload_length);
        break;
    case OPCODE_TEXT:
        if (client.message_open)
            return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: text frame inside a message of %llu bytes",
                          client.message_length);
        break;
    case OPCODE_BINARY:
        if (client.message_open)
            return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: binary frame inside a message of %llu bytes",
                          client.message_length);
        return refuse(CLOSE_UNSUPPORTED_DATA, "Binary message refused (%llu bytes): updates are text",
                      frame.payload_length);
    case 0x3:
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7:
        return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: reserved data opcode %llu", frame.opcode);
    case OPCODE_CLOSE:
    case OPCODE_PING:
    case OPCODE_PONG:
        if (!fin || frame.payload_length > CONTROL_PAYLOAD_MAX)
            return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: control frame fragmented or of %llu bytes",
                          frame.payload_length);
        return 0;
    default:  // 0xB to 0xF
        return refuse(CLOSE_PROTOCOL_ERROR, "Protocol error: reserved control opcode %llu", frame.opcode);
    }
    // A text frame or a continuation: the message it makes must stay within the limit.
    uint64_t joined = client.message_length;
    if (frame.payload_length > MESSAGE_MAX - joined) {
        // An update refused unread: the log can say only how large it is.
        uint64_t size = joined + frame.payload_length;
        log_event("Update refused: message of %llu MiB over the limit",
                  static_cast<unsigned long long>((size + (1u << 20) - 1) >> 20));
        return refuse(CLOSE_TOO_BIG, "Message too big: %llu bytes (at most 16 MiB)", size);
    }
    return 0;
}

// A fragment's payload joins the message at the front of the buffer; the
// last one completes it, which is applied then.
static void join_fragment(FeedClient &client, bool fin, const unsigned char *payload, size_t length)
{
    char *message = client.receive_buffer;
    std::memmove(message + client.message_length, payload, length);
    client.message_length += length;
    client.message_open = !fin;
    if (fin) {
        // Behind the joined payload lies what was this frame's header or
        // payload, consumed already: the NUL may go there for good.
        size_t message_length = static_cast<size_t>(client.message_length);
        message[message_length] = '\0';
        client.message_length = 0;
        apply_update(message, message_length);
    }
}

int handle_frame(FeedClient &client, uint64_t &frame_offset)
{
    if (frame_offset >= client.receive_length)
        return 0;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(client.receive_buffer) + frame_offset;
    uint64_t available = client.receive_length - frame_offset;
    Frame frame;
    // The size rules are this file's: the codec is given no capacity to check.
    FrameStatus status = decode_frame(bytes, available, UINT64_MAX, frame);
    if (available < 2 || available < frame.header_size)
        return 0;  // the header has not fully arrived
    if (check_header(client, bytes[0], frame) != 0)
        return -1;
    if (status == FRAME_INCOMPLETE)
        return 0;

    bool fin = (bytes[0] & FRAME_FIN) != 0;
    size_t length = static_cast<size_t>(frame.payload_length);
    unsigned char *payload = bytes + frame.header_size;
    if (frame.masked)
        unmask_payload(payload, length, frame.mask_key);
    frame_offset += frame.consumed;

    switch (frame.opcode) {
    case OPCODE_TEXT:
        if (fin) {
            // A message in one frame is read where it lies: a NUL goes behind
            // it for the time being, over the first byte of the next frame
            // (docs/one-thread.md: frame).
            unsigned char *end = payload + length;
            unsigned char byte_behind = *end;
            *end = 0;
            apply_update(reinterpret_cast<char *>(payload), length);
            *end = byte_behind;
            return 1;
        }
        join_fragment(client, false, payload, length);
        return 1;
    case OPCODE_CONTINUATION:
        join_fragment(client, fin, payload, length);
        return 1;
    case OPCODE_PING:
        return answer_ping(client, payload, length);
    case OPCODE_CLOSE:
        // Answered only once nothing here touches the buffer, which closing empties.
        close_feed_client(close_code_to_echo(payload, length));
        return -1;
    default:  // a pong, the one opcode left that check_header lets by
        return 1;
    }
}
