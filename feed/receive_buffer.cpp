// The receive buffer of a feed client record: grown for a large message, given back after it.
#include "feed/receive_buffer.h"

#include <cstdlib>
#include <cstring>

// The bytes the frame at the front of `waiting` needs: all of it once its
// header is there, else room for the longest header.
static uint64_t frame_room(const char *bytes, uint64_t waiting)
{
    Frame frame;
    decode_frame(reinterpret_cast<const unsigned char *>(bytes), waiting, UINT64_MAX, frame);
    if (waiting < 2 || waiting < frame.header_size)
        return FRAME_HEADER_MAX;
    return frame.header_size + frame.payload_length;
}

// Doubling, so that a message in many fragments is copied a few times, not
// once a fragment; an ordinary batch's buffer stops at RECEIVE_KEEP.
static uint64_t grown_capacity(uint64_t capacity, uint64_t needed)
{
    uint64_t doubled = capacity * 2;
    if (needed <= RECEIVE_KEEP)
        return doubled < needed ? needed : doubled > RECEIVE_KEEP ? RECEIVE_KEEP : doubled;
    if (doubled > RECEIVE_CAPACITY_MAX)
        doubled = RECEIVE_CAPACITY_MAX;
    return doubled < needed ? needed : doubled;
}

static void use_own_bytes(FeedClient &client)
{
    if (client.receive_buffer != client.receive_inline)
        std::free(client.receive_buffer);
    client.receive_buffer = client.receive_inline;
    client.receive_capacity = FEED_BUFFER_SIZE;
}

bool fit_receive_buffer(FeedClient &client)
{
    uint64_t start = client.message_length;
    uint64_t needed = start + frame_room(client.receive_buffer + start, client.receive_length - start);
    if (needed > RECEIVE_CAPACITY_MAX)
        return false;  // handle_frame refuses such a frame first
    if (needed <= client.receive_capacity) {
        if (client.receive_capacity > RECEIVE_KEEP && needed <= FEED_BUFFER_SIZE) {
            std::memcpy(client.receive_inline, client.receive_buffer,
                        static_cast<size_t>(client.receive_length) + 1);
            use_own_bytes(client);
        }
        return true;
    }
    uint64_t capacity = grown_capacity(client.receive_capacity, needed);
    char *grown;
    if (client.receive_buffer == client.receive_inline) {
        grown = static_cast<char *>(std::malloc(static_cast<size_t>(capacity) + 1));
        if (grown)
            std::memcpy(grown, client.receive_inline, static_cast<size_t>(client.receive_length) + 1);
    } else {
        grown = static_cast<char *>(std::realloc(client.receive_buffer, static_cast<size_t>(capacity) + 1));
    }
    if (!grown)
        return false;
    client.receive_buffer = grown;
    client.receive_capacity = capacity;
    return true;
}

void reset_receive_buffer(FeedClient &client)
{
    use_own_bytes(client);
    client.receive_length = 0;
    client.receive_inline[0] = '\0';
    client.message_length = 0;
    client.message_open = false;
}
