// What each frame the feed client sends does on the open connection.
#pragma once
#include "feed/feed_client.h"

#include <cstdint>

// Handles the frame at frame_offset in client.receive_buffer. Returns 1 when
// a frame was consumed (frame_offset moved past it), 0 when it has not fully
// arrived (nothing changed), -1 when the connection must end: a close frame
// (consumed), a frame longer than receive_buffer can ever hold, or a pong
// that could not be queued. A close frame, and a frame that can never fit,
// start the closing handshake (close_feed_client); the rest of the read is
// then not for handle_frame.
int handle_frame(FeedClient &client, uint64_t &frame_offset);
