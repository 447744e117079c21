// The opening handshake of the feed client's WebSocket connection.
#pragma once
#include "feed/feed_client.h"

enum HandshakeResult {
    HANDSHAKE_REFUSED = -1,  // no blank line in a full buffer, no GET request line, or no usable key
    HANDSHAKE_FAILED = 0,    // a carriage return without a line feed in the head ("INVALD HEADER")
    HANDSHAKE_DONE = 1,      // the 101 response is in send_buffer, send_length its length
    HANDSHAKE_WAITING = 2,   // no blank line yet and receive_buffer has room: read on
};

constexpr size_t ORIGIN_MAX = 255;

// The Origin header of the request head, which browsers send with every
// WebSocket request (RFC 6455, 10.2) and other clients may leave out.
struct RequestOrigin {
    bool present;
    // At most ORIGIN_MAX bytes, no control character, not empty, not given twice.
    bool usable;
    // The value as sent, blanks around it dropped; when it is not usable, cut
    // to ORIGIN_MAX bytes with control characters shown as '?'.
    char text[ORIGIN_MAX + 1];
    // The head's User-Agent, for the log: the same cut, the last one counts.
    bool user_agent_sent;
    char user_agent[ORIGIN_MAX + 1];
};

// Checks the request head at the front of client.receive_buffer (NUL behind
// receive_length bytes). Ends lines in place with NULs while it scans. On
// HANDSHAKE_DONE the response replaces whatever send_buffer held, and origin,
// when given, describes the head's Origin header (also on HANDSHAKE_FAILED).
// On HANDSHAKE_REFUSED and HANDSHAKE_FAILED *fault, when given, says what
// was wrong. Shows nothing: the boxes are the caller's.
HandshakeResult perform_handshake(FeedClient &client, RequestOrigin *origin = nullptr,
                                  const char **fault = nullptr);
