// The one feed client connection on 127.0.0.1:8902.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

enum FeedState { FEED_NONE = -1, FEED_HANDSHAKING = 0, FEED_OPEN = 1 };

constexpr size_t FEED_BUFFER_SIZE = 10248;

struct FeedClient {
    SOCKET socket;  // INVALID_SOCKET while no client is connected
    int state;      // a FeedState; starts at 0 until the DDE service is up
    char receive_buffer[FEED_BUFFER_SIZE + 1];  // +1 keeps a NUL behind the data
    uint64_t receive_length;
    char send_buffer[FEED_BUFFER_SIZE];
    uint64_t send_length;
};

extern FeedClient feed_client;

// Handlers of WM_LISTEN_SOCKET and WM_CLIENT_SOCKET: event and error are the
// low and high words of the message's lParam.
void on_listen_socket_event(HWND window, SOCKET socket, int event, int error);
void on_client_socket_event(HWND window, SOCKET socket, int event, int error);
