// The one feed client connection on 127.0.0.1:8902: accept and refuse,
// reads handed to the handshake or the frame decoder, and the send queue.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Closing: a close frame is queued for the client; what it sends is read and
// dropped until it closes too, or the close limit passes.
enum FeedState { FEED_NONE = -1, FEED_HANDSHAKING = 0, FEED_OPEN = 1, FEED_CLOSING = 2 };

constexpr size_t FEED_BUFFER_SIZE = 10248;

// The window timer that bounds the handshake (10 s from accept until the 101
// response is queued) and the closing handshake (2 s); it runs only while
// the client is handshaking or closing.
constexpr UINT_PTR FEED_TIMER_ID = 1029;
constexpr UINT HANDSHAKE_LIMIT_MS = 10000;
constexpr UINT CLOSE_LIMIT_MS = 2000;

// Invariants: state is FEED_NONE exactly when socket is INVALID_SOCKET (once
// the DDE service is up); receive_buffer[receive_length] is 0 after every
// read; bytes leave either buffer from the front only. Bytes queued for the
// client go out in order: first send_buffer, then the overflow, which holds
// anything only while send_buffer is full.
struct FeedClient {
    SOCKET socket;  // INVALID_SOCKET while no client is connected
    int state;      // a FeedState; starts at 0 until the DDE service is up
    char receive_buffer[FEED_BUFFER_SIZE + 1];  // +1 keeps a NUL behind the data
    uint64_t receive_length;
    char send_buffer[FEED_BUFFER_SIZE];
    uint64_t send_length;
    char *overflow;              // heap bytes waiting behind a full send_buffer
    uint64_t overflow_start;     // first byte not yet moved into send_buffer
    uint64_t overflow_length;    // end of the waiting bytes
    uint64_t overflow_capacity;
    bool write_shut;             // closing: our side of the stream has ended
};

extern FeedClient feed_client;

// Handlers of WM_LISTEN_SOCKET and WM_CLIENT_SOCKET: event and error are the
// low and high words of the message's lParam. Notifications naming any
// socket but the current listener or client are stale and ignored.
void on_listen_socket_event(HWND window, SOCKET socket, int event, int error);
void on_client_socket_event(HWND window, SOCKET socket, int event, int error);

// Closes the client socket, empties both buffers and the overflow, drops the
// client's notifications still queued and shows "Status: Disconnected".
void disconnect_feed_client();

// Starts the closing handshake of an open client: a close frame carrying
// code goes out behind everything queued, then our side of the stream ends;
// the client's own close or CLOSE_LIMIT_MS ends the connection.
void close_feed_client(unsigned short code);

// WM_TIMER of FEED_TIMER_ID: a client still handshaking or closing when its
// limit passes is disconnected.
void on_feed_timer();

// Appends bytes behind everything queued for the client, into send_buffer
// while it has room and nothing waits in the overflow. Returns false when
// the overflow cannot grow or would pass 64 MiB; some of the bytes may then
// be queued already.
bool queue_for_client(const void *bytes, size_t length);
// Sends the queue on socket until it is empty or the socket is full (an
// FD_WRITE then brings the rest). Returns 0 for both, -1 for any other
// send error, which leaves the queue as it was.
int send_queued(SOCKET socket);
