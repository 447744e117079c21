// What each received frame does: an update, a ping, a close.
#include "feed/frames.h"

#include "feed/feed_messages.h"
#include "feed/frame_codec.h"
#include "feed/send_queue.h"

// Close status codes (RFC 6455, 7.4): the client's own code is echoed when
// an endpoint may send it; otherwise, and for a close without one, 1000.
constexpr unsigned short CLOSE_NORMAL = 1000;
constexpr unsigned short CLOSE_PROTOCOL_ERROR = 1002;
constexpr unsigned short CLOSE_TOO_BIG = 1009;

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

int handle_frame(FeedClient &client, uint64_t &frame_offset)
{
    if (frame_offset >= client.receive_length)
        return 0;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(client.receive_buffer) + frame_offset;
    Frame frame;
    // A frame that has not fully arrived moves to the front of the buffer, so
    // the whole buffer is the room it may need.
    FrameStatus status = decode_frame(bytes, client.receive_length - frame_offset, FEED_BUFFER_SIZE, frame);
    if (status == FRAME_INCOMPLETE)
        return 0;
    if (status == FRAME_NEVER_FITS) {
        close_feed_client(CLOSE_TOO_BIG);
        return -1;
    }

    size_t length = static_cast<size_t>(frame.payload_length);
    unsigned char *payload = bytes + frame.header_size;
    if (frame.masked)
        unmask_payload(payload, length, frame.mask_key);
    // The payload is read as a text: a NUL goes behind it for the time being,
    // over the first byte of the next frame, if one follows.
    unsigned char *end = payload + length;
    unsigned char byte_behind = *end;
    *end = 0;
    frame_offset += frame.consumed;

    int result = 1;
    if ((frame.opcode & 9) == 9) {
        if (frame.opcode == OPCODE_PING)
            result = answer_ping(client, payload, length);
    } else if ((frame.opcode & 10) == 10) {
        // pong and reserved control codes: ignored
    } else if (frame.opcode & 8) {
        close_feed_client(frame.opcode == OPCODE_CLOSE ? close_code_to_echo(payload, length)
                                                       : CLOSE_PROTOCOL_ERROR);
        result = -1;
    } else {
        apply_update(reinterpret_cast<char *>(payload), length);
    }
    *end = byte_behind;
    return result;
}
