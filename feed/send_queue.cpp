// The send queue of a feed client record: frames queued in order, sent as the socket takes them.
#include "feed/send_queue.h"

#include "feed/frame_codec.h"

#include <cstdlib>
#include <cstring>

constexpr size_t OVERFLOW_MIN_CAPACITY = 4096;
// Far above what replaying the largest sheet queues; a client that sends
// pings and never reads stops here instead of taking all memory.
constexpr uint64_t OVERFLOW_LIMIT = 64ull << 20;

static void remove_sent(FeedClient &client, uint64_t count)
{
    std::memmove(client.send_buffer, client.send_buffer + count,
                 static_cast<size_t>(client.send_length - count));
    client.send_length -= count;
}

// Moves waiting bytes from the overflow into the room send_buffer has.
static void refill_send_buffer(FeedClient &client)
{
    uint64_t waiting = client.overflow_length - client.overflow_start;
    uint64_t room = FEED_BUFFER_SIZE - client.send_length;
    uint64_t count = waiting < room ? waiting : room;
    if (count == 0)
        return;
    std::memcpy(client.send_buffer + client.send_length, client.overflow + client.overflow_start,
                static_cast<size_t>(count));
    client.send_length += count;
    client.overflow_start += count;
    if (client.overflow_start == client.overflow_length)
        client.overflow_start = client.overflow_length = 0;
}

// Makes room in the overflow for `extra` more bytes behind those waiting.
static bool reserve_overflow(FeedClient &client, uint64_t extra)
{
    if (client.overflow_start > 0) {
        uint64_t waiting = client.overflow_length - client.overflow_start;
        std::memmove(client.overflow, client.overflow + client.overflow_start, static_cast<size_t>(waiting));
        client.overflow_start = 0;
        client.overflow_length = waiting;
    }
    uint64_t needed = client.overflow_length + extra;
    if (needed > OVERFLOW_LIMIT)
        return false;
    if (needed <= client.overflow_capacity)
        return true;
    uint64_t capacity = client.overflow_capacity * 2;
    if (capacity < needed)
        capacity = needed;
    if (capacity < OVERFLOW_MIN_CAPACITY)
        capacity = OVERFLOW_MIN_CAPACITY;
    char *grown = static_cast<char *>(std::realloc(client.overflow, static_cast<size_t>(capacity)));
    if (!grown)
        return false;
    client.overflow = grown;
    client.overflow_capacity = capacity;
    return true;
}

// Appends bytes for which room has been made.
static void append(FeedClient &client, const char *bytes, size_t length)
{
    if (client.overflow_length == client.overflow_start) {
        uint64_t room = FEED_BUFFER_SIZE - client.send_length;
        size_t now = length < room ? length : static_cast<size_t>(room);
        std::memcpy(client.send_buffer + client.send_length, bytes, now);
        client.send_length += now;
        bytes += now;
        length -= now;
        if (length == 0)
            return;
    }
    std::memcpy(client.overflow + client.overflow_length, bytes, length);
    client.overflow_length += length;
}

bool queue_frame(FeedClient &client, int opcode, const char *const pieces[], const size_t sizes[],
                 int piece_count)
{
    uint64_t payload_length = 0;
    for (int i = 0; i < piece_count; ++i)
        payload_length += sizes[i];
    unsigned char header[10];
    size_t header_size = encode_frame_header(opcode, payload_length, header);

    uint64_t total = header_size + payload_length;
    uint64_t room =
        client.overflow_length == client.overflow_start ? FEED_BUFFER_SIZE - client.send_length : 0;
    if (total > room && !reserve_overflow(client, total - room))
        return false;
    append(client, reinterpret_cast<const char *>(header), header_size);
    for (int i = 0; i < piece_count; ++i)
        append(client, pieces[i], sizes[i]);
    return true;
}

int send_queued(FeedClient &client, SOCKET socket)
{
    for (;;) {
        refill_send_buffer(client);
        if (client.send_length == 0)
            return 0;
        WSABUF buffer;
        buffer.buf = client.send_buffer;
        buffer.len = static_cast<ULONG>(client.send_length);
        DWORD sent = 0;
        if (WSASend(socket, &buffer, 1, &sent, 0, nullptr, nullptr) != 0) {
            // A full socket posts FD_WRITE once it has room again.
            int error = WSAGetLastError();
            return error == WSAEWOULDBLOCK || error == WSA_IO_PENDING ? 0 : -1;
        }
        if (sent == 0 || sent > client.send_length)
            return 0;
        remove_sent(client, sent);
    }
}

bool send_queue_empty(const FeedClient &client)
{
    return client.send_length == 0 && client.overflow_length == client.overflow_start;
}

void empty_send_queue(FeedClient &client)
{
    client.send_length = 0;
    std::free(client.overflow);
    client.overflow = nullptr;
    client.overflow_start = client.overflow_length = client.overflow_capacity = 0;
}
