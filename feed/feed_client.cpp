#include "feed/feed_client.h"

#include "app/startup.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/frames.h"
#include "feed/handshake.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// No client socket exists at load time; the state only becomes "none" (ready
// to accept) once the DDE service is registered.
FeedClient feed_client = {INVALID_SOCKET, FEED_HANDSHAKING, {}, 0, {}, 0, nullptr, 0, 0, 0, false};

// FD_READ | FD_WRITE | FD_CLOSE
constexpr long CLIENT_EVENTS = 35;
constexpr size_t OVERFLOW_MIN_CAPACITY = 4096;
// Far above what replaying the largest sheet queues; a client that sends
// pings and never reads stops here instead of taking all memory.
constexpr uint64_t OVERFLOW_LIMIT = 64ull << 20;

// Counts accepted connections, so that a handler that waited in a message
// box can tell whether its connection is still the current one: the socket
// handle alone cannot, as a new client often gets the old handle value.
static unsigned long connection_serial;
// Set while a handshake message box is open: reads of that client wait.
static bool handshake_running;
// The connection whose FD_READ came while a handshake box was open; 0: none.
// Windows Sockets posts the next FD_READ only after a receive, so the read
// is done once the box has closed, or that client would wait for ever.
static unsigned long deferred_read_serial;

static void remove_sent(uint64_t count)
{
    std::memmove(feed_client.send_buffer, feed_client.send_buffer + count,
                 static_cast<size_t>(feed_client.send_length - count));
    feed_client.send_length -= count;
}

// Moves waiting bytes from the overflow into the room send_buffer has.
static void refill_send_buffer()
{
    uint64_t waiting = feed_client.overflow_length - feed_client.overflow_start;
    uint64_t room = FEED_BUFFER_SIZE - feed_client.send_length;
    uint64_t count = waiting < room ? waiting : room;
    if (count == 0)
        return;
    std::memcpy(feed_client.send_buffer + feed_client.send_length,
                feed_client.overflow + feed_client.overflow_start, static_cast<size_t>(count));
    feed_client.send_length += count;
    feed_client.overflow_start += count;
    if (feed_client.overflow_start == feed_client.overflow_length)
        feed_client.overflow_start = feed_client.overflow_length = 0;
}

bool queue_for_client(const void *bytes, size_t length)
{
    const char *data = static_cast<const char *>(bytes);
    if (feed_client.overflow_length == feed_client.overflow_start) {
        uint64_t room = FEED_BUFFER_SIZE - feed_client.send_length;
        size_t now = length < room ? length : static_cast<size_t>(room);
        std::memcpy(feed_client.send_buffer + feed_client.send_length, data, now);
        feed_client.send_length += now;
        data += now;
        length -= now;
    }
    if (length == 0)
        return true;

    if (feed_client.overflow_start > 0) {
        uint64_t waiting = feed_client.overflow_length - feed_client.overflow_start;
        std::memmove(feed_client.overflow, feed_client.overflow + feed_client.overflow_start,
                     static_cast<size_t>(waiting));
        feed_client.overflow_start = 0;
        feed_client.overflow_length = waiting;
    }
    uint64_t needed = feed_client.overflow_length + length;
    if (needed > OVERFLOW_LIMIT)
        return false;
    if (needed > feed_client.overflow_capacity) {
        uint64_t capacity = feed_client.overflow_capacity * 2;
        if (capacity < needed)
            capacity = needed;
        if (capacity < OVERFLOW_MIN_CAPACITY)
            capacity = OVERFLOW_MIN_CAPACITY;
        char *grown = static_cast<char *>(std::realloc(feed_client.overflow, static_cast<size_t>(capacity)));
        if (!grown)
            return false;
        feed_client.overflow = grown;
        feed_client.overflow_capacity = capacity;
    }
    std::memcpy(feed_client.overflow + feed_client.overflow_length, data, length);
    feed_client.overflow_length += length;
    return true;
}

int send_queued(SOCKET socket)
{
    for (;;) {
        refill_send_buffer();
        if (feed_client.send_length == 0)
            return 0;
        WSABUF buffer;
        buffer.buf = feed_client.send_buffer;
        buffer.len = static_cast<ULONG>(feed_client.send_length);
        DWORD sent = 0;
        if (WSASend(socket, &buffer, 1, &sent, 0, nullptr, nullptr) != 0) {
            // A full socket posts FD_WRITE once it has room again.
            int error = WSAGetLastError();
            return error == WSAEWOULDBLOCK || error == WSA_IO_PENDING ? 0 : -1;
        }
        if (sent == 0 || sent > feed_client.send_length)
            return 0;
        remove_sent(sent);
    }
}

void disconnect_feed_client()
{
    if (feed_client.socket != INVALID_SOCKET)
        closesocket(feed_client.socket);
    feed_client.socket = INVALID_SOCKET;
    feed_client.state = FEED_NONE;
    feed_client.receive_length = 0;
    feed_client.send_length = 0;
    std::free(feed_client.overflow);
    feed_client.overflow = nullptr;
    feed_client.overflow_start = feed_client.overflow_length = feed_client.overflow_capacity = 0;
    feed_client.write_shut = false;
    KillTimer(main_window, FEED_TIMER_ID);

    // Every client notification still queued is about the socket just closed;
    // left there, it could end the next client, which may get the same handle.
    MSG stale;
    while (PeekMessageA(&stale, main_window, WM_CLIENT_SOCKET, WM_CLIENT_SOCKET, PM_REMOVE)) {
    }
    print_status(0, "Status: Disconnected");
}

// Sends what is queued; once a closing client's queue is empty, our side of
// the stream ends, which tells the client that the close frame was the last.
static int flush_to_client(SOCKET socket)
{
    if (send_queued(socket) != 0)
        return -1;
    if (feed_client.state == FEED_CLOSING && !feed_client.write_shut && feed_client.send_length == 0) {
        shutdown(socket, SD_SEND);
        feed_client.write_shut = true;
    }
    return 0;
}

/*
 * Close frame: FIN and opcode 8, then a two-byte status code, e.g.
 *     88 02 03 E8   (1000, a normal close)
 */
constexpr unsigned char CLOSE_FRAME = 0x88;

void close_feed_client(unsigned short code)
{
    if (feed_client.state != FEED_OPEN)
        return;
    feed_client.state = FEED_CLOSING;
    feed_client.receive_length = 0;
    SetTimer(main_window, FEED_TIMER_ID, CLOSE_LIMIT_MS, nullptr);
    const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    const char *pieces[] = {payload};
    const size_t sizes[] = {sizeof payload};
    if (send_frame(CLOSE_FRAME, pieces, sizes, 1) != 0 || flush_to_client(feed_client.socket) != 0) {
        if (feed_client.state != FEED_NONE)
            disconnect_feed_client();
    }
}

void on_feed_timer()
{
    KillTimer(main_window, FEED_TIMER_ID);
    if (feed_client.socket == INVALID_SOCKET)
        return;
    if (feed_client.state == FEED_HANDSHAKING || feed_client.state == FEED_CLOSING)
        disconnect_feed_client();
}

// Asks a newly opened client for every field known, so that a feed client
// that reconnects resumes every subscription, watched or not.
static void replay_requests()
{
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            char item[200];
            std::snprintf(item, sizeof item, "%llu.%s",
                          static_cast<unsigned long long>(instrument.insref), instrument.fields[f].name);
            if (send_request(item) != 0)
                disconnect_feed_client();
        }
    }
}

static void continue_handshake()
{
    unsigned long serial = connection_serial;
    handshake_running = true;
    int result = perform_handshake(feed_client);
    handshake_running = false;
    // A message box may have let this connection end and another begin.
    if (serial != connection_serial || feed_client.state != FEED_HANDSHAKING)
        return;
    if (result == HANDSHAKE_WAITING)
        return;
    if (result != HANDSHAKE_DONE) {
        disconnect_feed_client();
        return;
    }
    KillTimer(main_window, FEED_TIMER_ID);  // the 101 response is queued
    if (send_queued(feed_client.socket) != 0) {
        disconnect_feed_client();
        return;
    }
    feed_client.state = FEED_OPEN;
    // Bytes behind the request head in the same read are dropped.
    feed_client.receive_length = 0;
    replay_requests();
}

static void handle_frames()
{
    if (feed_client.receive_length < 2)
        return;
    uint64_t frame_offset = 0;
    int result;
    do {
        result = handle_frame(dde_instance, topic_name, feed_client, frame_offset);
    } while (result == 1 && frame_offset < feed_client.receive_length);
    if (result == -1) {
        // A close frame (now answered, the client closing) or a failure.
        if (feed_client.state == FEED_OPEN)
            disconnect_feed_client();
        feed_client.receive_length = 0;
        return;
    }

    // A frame that has only partly arrived waits at the front for the next read.
    if (frame_offset < feed_client.receive_length) {
        uint64_t rest = feed_client.receive_length - frame_offset;
        std::memmove(feed_client.receive_buffer, feed_client.receive_buffer + frame_offset,
                     static_cast<size_t>(rest));
        feed_client.receive_length = rest;
    } else {
        feed_client.receive_length = 0;
    }
}

// One read into the free space of receive_buffer. Returns the count received,
// 0 when nothing was there or the connection ended.
static DWORD read_feed_client()
{
    WSABUF buffer;
    buffer.buf = feed_client.receive_buffer + feed_client.receive_length;
    buffer.len = static_cast<ULONG>(FEED_BUFFER_SIZE - feed_client.receive_length);
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(feed_client.socket, &buffer, 1, &received, &flags, nullptr, nullptr) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            disconnect_feed_client();
        return 0;
    }
    feed_client.receive_length += received;
    feed_client.receive_buffer[feed_client.receive_length] = '\0';
    if (feed_client.state == FEED_CLOSING)
        feed_client.receive_length = 0;  // read only to see the client's close
    else if (feed_client.state == FEED_HANDSHAKING)
        continue_handshake();
    else
        handle_frames();
    return received;
}

void on_listen_socket_event(HWND, SOCKET socket, int event, int error)
{
    // An accepted socket reports through the listener's message until its own
    // WSAAsyncSelect; such notifications, and any for an old listener, are not ours.
    if (socket != listen_socket || listen_socket == INVALID_SOCKET)
        return;
    if (error != 0) {
        // Forget the listener first: the box dispatches messages, and the
        // error is shown once.
        listen_socket = INVALID_SOCKET;
        MessageBoxA(main_window, "ERROR IN SERVER SOCKET", "", MB_OK);
        closesocket(socket);
        return;
    }
    if (event != FD_ACCEPT)
        return;

    SOCKET client = accept(socket, nullptr, nullptr);
    if (client == INVALID_SOCKET)
        return;
    if (feed_client.state != FEED_NONE) {
        closesocket(client);  // one feed client at a time; the first one goes on
        return;
    }
    ++connection_serial;
    feed_client.socket = client;
    feed_client.state = FEED_HANDSHAKING;
    feed_client.receive_length = 0;
    feed_client.send_length = 0;
    // No silent or slow client may hold the one feed slot.
    SetTimer(main_window, FEED_TIMER_ID, HANDSHAKE_LIMIT_MS, nullptr);
    if (WSAAsyncSelect(client, main_window, WM_CLIENT_SOCKET, CLIENT_EVENTS) != 0)
        disconnect_feed_client();
    else
        print_status(0, "Status: Connected");
}

void on_client_socket_event(HWND, SOCKET socket, int event, int error)
{
    if (socket == INVALID_SOCKET || socket != feed_client.socket)
        return;  // a closed connection's late notification
    if (error != 0) {
        disconnect_feed_client();
        return;
    }
    switch (event) {
    case FD_READ:
        if (handshake_running) {
            deferred_read_serial = connection_serial;
            break;
        }
        read_feed_client();
        while (deferred_read_serial != 0) {
            bool current = deferred_read_serial == connection_serial && feed_client.state != FEED_NONE;
            deferred_read_serial = 0;
            if (current)
                read_feed_client();
        }
        break;
    case FD_WRITE:
        if (flush_to_client(socket) != 0)
            disconnect_feed_client();
        break;
    case FD_CLOSE:
        // Updates the client sent just before closing are still applied.
        while (!handshake_running && feed_client.state == FEED_OPEN && read_feed_client() > 0) {
        }
        if (feed_client.socket == socket)
            disconnect_feed_client();
        break;
    default:
        break;
    }
}
