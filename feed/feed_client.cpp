#include "feed/feed_client.h"

// No client socket exists at load time; the state only becomes "none" (ready
// to accept) once the DDE service is registered.
FeedClient feed_client = {INVALID_SOCKET, FEED_HANDSHAKING, {}, 0, {}, 0};

// Accepting and serving the feed client come with the feed link; until then
// connections wait in the listen backlog.
void on_listen_socket_event(HWND, SOCKET, int, int) {}

void on_client_socket_event(HWND, SOCKET, int, int) {}
