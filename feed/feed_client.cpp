// The feed client connection: accept and refuse, reads, the handshake's outcome, the close, the limits.
#include "feed/feed_client.h"

#include "core/log.h"
#include "core/message_box.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "core/status_topic.h"
#include "feed/feed_messages.h"
#include "feed/frame_codec.h"
#include "feed/feed_box.h"
#include "feed/frames.h"
#include "feed/handshake.h"
#include "feed/origin_policy.h"
#include "feed/receive_buffer.h"
#include "feed/replay.h"
#include "feed/send_queue.h"

#include <cstdio>
#include <cstring>

// No client socket exists at load time; the state only becomes "none" (ready
// to accept) once a face serves the spreadsheets.
FeedClient feed_client = {INVALID_SOCKET,
                          FEED_HANDSHAKING,
                          feed_client.receive_inline,
                          0,
                          FEED_BUFFER_SIZE,
                          0,
                          false,
                          {},
                          {},
                          0,
                          nullptr,
                          0,
                          0,
                          0,
                          false};
FeedHost feed_host;

constexpr long CLIENT_EVENTS = FD_READ | FD_WRITE | FD_CLOSE;

void attach_feed(HWND window, SOCKET *listener)
{
    feed_host.window = window;
    feed_host.listener = listener;
}

void ready_feed()
{
    feed_client.state = FEED_NONE;
}

// The close code of the closing handshake under way, for the log.
static unsigned short closing_code;

static void log_disconnect(const char *why)
{
    if (!why || feed_client.socket == INVALID_SOCKET)
        return;
    switch (feed_client.state) {
    case FEED_HANDSHAKING:
        log_event("Feed client disconnected during the handshake: %s", why);
        break;
    case FEED_CLOSING:
        log_event("Feed client disconnected after close code %u: %s", closing_code, why);
        break;
    default:
        log_event("Feed client disconnected: %s", why);
        break;
    }
}

void disconnect_feed_client(const char *why)
{
    log_disconnect(why);
    if (feed_client.socket != INVALID_SOCKET)
        closesocket(feed_client.socket);
    feed_client.socket = INVALID_SOCKET;
    feed_client.state = FEED_NONE;
    set_feed_open(false);
    reset_receive_buffer(feed_client);
    empty_send_queue(feed_client);
    stop_replay();
    feed_client.write_shut = false;
    KillTimer(feed_host.window, FEED_TIMER_ID);

    // Every client notification still queued is about the socket just closed;
    // left there, it could end the next client, which may get the same handle.
    MSG stale;
    while (PeekMessageA(&stale, feed_host.window, WM_CLIENT_SOCKET, WM_CLIENT_SOCKET, PM_REMOVE)) {
    }
    print_status(STATUS_CONNECTION, "Status: Disconnected");
}

// Sends what is queued; once a closing client's queue is empty, our side of
// the stream ends, which tells the client that the close frame was the last.
static int flush_to_client(SOCKET socket)
{
    if (send_queued(feed_client, socket) != 0)
        return -1;
    if (feed_client.state == FEED_CLOSING && !feed_client.write_shut && send_queue_empty(feed_client)) {
        shutdown(socket, SD_SEND);
        feed_client.write_shut = true;
    }
    return 0;
}

int send_frame(int opcode, const char *const pieces[], const size_t sizes[], int piece_count)
{
    if (!queue_frame(feed_client, opcode, pieces, sizes, piece_count)) {
        // Nothing of the frame is queued, but the client would miss it.
        disconnect_feed_client("out of memory for a frame to send");
        return -1;
    }
    return send_queued(feed_client, feed_client.socket);
}

/*
 * Close frame: FIN and opcode 8, then a two-byte status code, e.g.
 *     88 02 03 E8   (1000, a normal close)
 */
void close_feed_client(unsigned short code)
{
    if (feed_client.state != FEED_OPEN)
        return;
    feed_client.state = FEED_CLOSING;
    closing_code = code;
    set_feed_open(false);  // nothing it sends from now on reaches a cell
    reset_receive_buffer(feed_client);
    stop_replay();
    SetTimer(feed_host.window, FEED_TIMER_ID, CLOSE_LIMIT_MS, nullptr);
    const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    const char *pieces[] = {payload};
    const size_t sizes[] = {sizeof payload};
    if (send_frame(OPCODE_CLOSE, pieces, sizes, 1) != 0 || flush_to_client(feed_client.socket) != 0) {
        if (feed_client.state != FEED_NONE)
            disconnect_feed_client("the close frame could not be sent");
    }
}

void on_feed_timer()
{
    KillTimer(feed_host.window, FEED_TIMER_ID);
    if (feed_client.socket == INVALID_SOCKET)
        return;
    if (feed_client.state == FEED_HANDSHAKING)
        disconnect_feed_client("no handshake within 10 s");
    else if (feed_client.state == FEED_CLOSING)
        disconnect_feed_client("no close from the client within 2 s");
}

static void continue_handshake()
{
    RequestOrigin origin;
    const char *fault = nullptr;
    HandshakeResult result = perform_handshake(feed_client, &origin, &fault);
    if (result == HANDSHAKE_WAITING)
        return;
    if (result != HANDSHAKE_DONE) {
        // Closed before any box, which is modal: the real feed may connect
        // and be served while it is open (docs/one-thread.md: boxes).
        log_event("Handshake refused: %s", fault);
        disconnect_feed_client(nullptr);
        // A malformed head raises its box only for a local program (no
        // origin, or one welcome as it is): a web page can send such heads
        // at will, and is never asked for consent with one either.
        bool local = result == HANDSHAKE_FAILED && judge_origin(origin) == ORIGIN_WELCOME;
        print_status(STATUS_ERROR, "Handshake refused: %s", fault);
        if (local)
            show_header_box();
        return;
    }
    KillTimer(feed_host.window, FEED_TIMER_ID);  // the 101 response is queued
    OriginVerdict verdict = judge_origin(origin);
    if (verdict != ORIGIN_WELCOME) {
        // Closed before the 101 response goes out, so the slot stays free for
        // the real feed while the user is asked.
        if (verdict == ORIGIN_UNKNOWN)
            log_event("Handshake refused: web page waiting for consent: %s", origin.text);
        else
            log_event("Handshake refused: web page not allowed: %s", origin.text);
        disconnect_feed_client(nullptr);
        if (verdict == ORIGIN_UNKNOWN)
            ask_origin_consent(origin.text);
        return;
    }
    if (send_queued(feed_client, feed_client.socket) != 0) {
        disconnect_feed_client("the handshake's answer could not be sent");
        return;
    }
    log_event("Feed client connected: Origin %s, User-Agent %s", origin.present ? origin.text : "not sent",
              origin.user_agent_sent ? origin.user_agent : "not sent");
    feed_client.state = FEED_OPEN;
    set_feed_open(true);
    // Bytes behind the request head in the same read are dropped.
    reset_receive_buffer(feed_client);
    start_replay();
}

static void handle_frames()
{
    // A fragmented message joined so far lies at the front; frames follow it.
    uint64_t frame_offset = feed_client.message_length;
    if (feed_client.receive_length - frame_offset < 2)
        return;
    int result;
    do {
        result = handle_frame(feed_client, frame_offset);
    } while (result == 1 && frame_offset < feed_client.receive_length);
    if (result == -1) {
        // A close frame (now answered, the client closing) or a failure.
        if (feed_client.state == FEED_OPEN)
            disconnect_feed_client("a frame could not be answered");
        feed_client.receive_length = 0;
        return;
    }

    // A frame that has only partly arrived waits behind the joined message
    // for the next read, with room made for the whole of it.
    uint64_t rest = feed_client.receive_length - frame_offset;
    std::memmove(feed_client.receive_buffer + feed_client.message_length,
                 feed_client.receive_buffer + frame_offset, static_cast<size_t>(rest));
    feed_client.receive_length = feed_client.message_length + rest;
    feed_client.receive_buffer[feed_client.receive_length] = '\0';
    if (!fit_receive_buffer(feed_client)) {
        print_status(STATUS_ERROR, "Message dropped, out of memory: %llu bytes",
                     static_cast<unsigned long long>(feed_client.message_length + rest));
        close_feed_client(CLOSE_INTERNAL_ERROR);
    }
}

// One read into the free space of receive_buffer. Returns the count received,
// 0 when nothing was there or the connection ended.
static DWORD read_feed_client()
{
    WSABUF buffer;
    buffer.buf = feed_client.receive_buffer + feed_client.receive_length;
    buffer.len = static_cast<ULONG>(feed_client.receive_capacity - feed_client.receive_length);
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(feed_client.socket, &buffer, 1, &received, &flags, nullptr, nullptr) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            char why[48];
            std::snprintf(why, sizeof why, "receive error %d", error);
            disconnect_feed_client(why);
        }
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
    SOCKET *listener = feed_host.listener;
    if (!listener || socket != *listener || *listener == INVALID_SOCKET)
        return;
    if (error != 0) {
        // Forget the listener first: the box dispatches messages, and the
        // error is shown once (docs/one-thread.md: boxes).
        *listener = INVALID_SOCKET;
        show_message_box(feed_host.window, "ERROR IN SERVER SOCKET", "", MB_OK);
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
        log_event("Second feed client refused: one feed client at a time");
        return;
    }
    feed_client.socket = client;
    feed_client.state = FEED_HANDSHAKING;
    reset_receive_buffer(feed_client);
    feed_client.send_length = 0;
    // No silent or slow client may hold the one feed slot.
    SetTimer(feed_host.window, FEED_TIMER_ID, HANDSHAKE_LIMIT_MS, nullptr);
    if (WSAAsyncSelect(client, feed_host.window, WM_CLIENT_SOCKET, CLIENT_EVENTS) != 0)
        disconnect_feed_client("its socket could not report to the window");
    else
        print_status(STATUS_CONNECTION, "Status: Connected");
}

void on_client_socket_event(HWND, SOCKET socket, int event, int error)
{
    if (socket == INVALID_SOCKET || socket != feed_client.socket)
        return;  // a closed connection's late notification
    if (error != 0) {
        char why[48];
        std::snprintf(why, sizeof why, "socket error %d", error);
        disconnect_feed_client(why);
        return;
    }
    switch (event) {
    case FD_READ:
        read_feed_client();
        break;
    case FD_WRITE:
        if (flush_to_client(socket) != 0)
            disconnect_feed_client("a send failed");
        else if (send_queue_empty(feed_client))
            continue_replay(0);  // a slow reader has read the last slice
        break;
    case FD_CLOSE:
        // Updates the client sent just before closing are still applied.
        while (feed_client.state == FEED_OPEN && read_feed_client() > 0) {
        }
        if (feed_client.socket == socket)
            disconnect_feed_client("the client closed the connection");
        break;
    default:
        break;
    }
}
