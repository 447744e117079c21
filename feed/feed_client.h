// The one feed client connection on 127.0.0.1:8902: accept and refuse, reads
// handed to the handshake or the frame handler, the closing handshake and the
// limits that keep any client from holding the one slot.
//
// The feed's functions that read or handle bytes answer 1 when done, 0 when
// not yet (more bytes must come) and -1 when the connection must close; one
// that only sends answers 0 or -1. A function added to the feed answers the
// same way (or with a count, as read_updates does, -1 still meaning refused).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Closing: a close frame is queued for the client; what it sends is read and
// dropped until it closes too, or the close limit passes.
enum FeedState : int32_t { FEED_NONE = -1, FEED_HANDSHAKING = 0, FEED_OPEN = 1, FEED_CLOSING = 2 };

constexpr size_t FEED_BUFFER_SIZE = 10248;

// Window messages by which Windows Sockets reports events of the listening
// socket and of the client's socket.
constexpr UINT WM_LISTEN_SOCKET = WM_USER + 2;
constexpr UINT WM_CLIENT_SOCKET = WM_USER + 3;

// The window timer that bounds the handshake (10 s from accept until the 101
// response is queued) and the closing handshake (2 s); it runs only while
// the client is handshaking or closing.
constexpr UINT_PTR FEED_TIMER_ID = 1029;
constexpr UINT HANDSHAKE_LIMIT_MS = 10000;
constexpr UINT CLOSE_LIMIT_MS = 2000;

// Invariants: state is FEED_NONE exactly when socket is INVALID_SOCKET (once
// the feed is ready); receive_buffer[receive_length] is 0 after every read;
// message_length <= receive_length <= receive_capacity, and receive_buffer is
// receive_inline whenever the client is not open (feed/receive_buffer.h);
// bytes leave either buffer from the front only. Bytes queued for the client
// go out in order: first send_buffer, then the overflow, which holds
// anything only while send_buffer is full.
struct FeedClient {
    SOCKET socket;         // INVALID_SOCKET while no client is connected
    FeedState state;       // starts at handshaking (0) until the feed is ready
    char *receive_buffer;  // receive_inline, or a heap block for a large message
    uint64_t receive_length;
    uint64_t receive_capacity;  // bytes receive_buffer holds, not counting the NUL's byte behind
    uint64_t message_length;    // a fragmented message's payload joined so far, at the front
    bool message_open;          // a text frame without FIN began a message, not yet ended
    char receive_inline[FEED_BUFFER_SIZE + 1];  // +1 keeps a NUL behind the data
    char send_buffer[FEED_BUFFER_SIZE];
    uint64_t send_length;
    char *overflow;            // heap bytes waiting behind a full send_buffer
    uint64_t overflow_start;   // first byte not yet moved into send_buffer
    uint64_t overflow_length;  // end of the waiting bytes
    uint64_t overflow_capacity;
    bool write_shut;  // closing: our side of the stream has ended
};

extern FeedClient feed_client;

// What start-up gives the feed: the window its sockets and timer report to,
// and the listening socket it serves (start-up's listen_socket, which an
// error on it closes and sets to INVALID_SOCKET).
struct FeedHost {
    HWND window;
    SOCKET *listener;
};

extern FeedHost feed_host;

// Once, right after the main window exists.
void attach_feed(HWND window, SOCKET *listener);
// Once a face serves the spreadsheets: the record ready for its first
// client (state none). Until then every client is refused.
void ready_feed();

// Handlers of WM_LISTEN_SOCKET and WM_CLIENT_SOCKET: event and error are the
// low and high words of the message's lParam. Notifications naming any
// socket but the current listener or client are stale and ignored.
void on_listen_socket_event(HWND window, SOCKET socket, int event, int error);
void on_client_socket_event(HWND window, SOCKET socket, int event, int error);

// Closes the client socket, empties both buffers and the overflow, drops the
// client's notifications still queued and shows "Status: Disconnected".
// why says for the log what ended the connection ("the client closed the
// connection"); null when the caller has logged it already.
void disconnect_feed_client(const char *why);

// Queues one frame (FIN set, opcode) whose payload is the pieces one after
// another for the open client, and sends what the socket takes. Returns 0
// when sent or queued; -1 for a send error (the frame stays queued), or when
// the queue could not take it (the client is then disconnected).
int send_frame(int opcode, const char *const pieces[], const size_t sizes[], int piece_count);

// Starts the closing handshake of an open client: a close frame carrying
// code goes out behind everything queued, then our side of the stream ends;
// the client's own close or CLOSE_LIMIT_MS ends the connection.
void close_feed_client(unsigned short code);

// WM_TIMER of FEED_TIMER_ID: a client still handshaking or closing when its
// limit passes is disconnected.
void on_feed_timer();
