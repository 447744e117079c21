// What each frame the feed client sends does on the open connection.
#pragma once
#include "feed/feed_client.h"

#include <cstdint>

// Close status codes (RFC 6455, 7.4.1) the program sends of its own.
constexpr unsigned short CLOSE_NORMAL = 1000;
constexpr unsigned short CLOSE_PROTOCOL_ERROR = 1002;
constexpr unsigned short CLOSE_UNSUPPORTED_DATA = 1003;
constexpr unsigned short CLOSE_TOO_BIG = 1009;
constexpr unsigned short CLOSE_INTERNAL_ERROR = 1011;

// Handles the frame at frame_offset in client.receive_buffer, which lies at
// or behind the message joined so far (client.message_length). Returns 1
// when a frame was consumed (frame_offset moved past it), 0 when it has not
// fully arrived (nothing changed), -1 when the connection must end: a close
// frame (consumed), a frame that breaks the protocol, a binary message, a
// message over MESSAGE_MAX (each refused by its header, with status line 4
// saying why), or a pong that could not be queued. A close frame and a
// refused one start the closing handshake (close_feed_client), which empties
// the receive buffer; the rest of the read is then not for handle_frame.
int handle_frame(FeedClient &client, uint64_t &frame_offset);
