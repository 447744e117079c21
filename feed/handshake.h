// The opening handshake of the feed client's WebSocket connection.
#pragma once
#include "feed/feed_client.h"

enum HandshakeResult {
    HANDSHAKE_REFUSED = -1,  // a request line without a blank after its path, or no usable key
    HANDSHAKE_FAILED = 0,    // "NO HEADERS" or "INVALD HEADER" has been shown
    HANDSHAKE_DONE = 1,      // the 101 response is in send_buffer, send_length its length
    HANDSHAKE_WAITING = 2,   // no blank line yet and receive_buffer has room: read on
};

// Checks the request head at the front of client.receive_buffer (NUL behind
// receive_length bytes). Ends lines in place with NULs while it scans. On
// HANDSHAKE_DONE the response replaces whatever send_buffer held.
HandshakeResult perform_handshake(FeedClient &client);
