// The feed client's receive buffer: the record's own 10,248 bytes, which a
// handshake and an ordinary batch need, until a frame needs more; then a
// heap block as large as the message being received, which is given back
// once it is done and was larger than RECEIVE_KEEP.
//
// Layout while the connection is open: the payload of a fragmented message
// joined so far (message_length bytes, unmasked), then the frames not yet
// handled, receive_length in all, a NUL behind them.
#pragma once
#include "feed/feed_client.h"
#include "feed/frame_codec.h"

#include <cstdint>

// The longest message (one frame, or its fragments joined) the feed may send.
constexpr uint64_t MESSAGE_MAX = 16ull << 20;
// A heap buffer no larger than this is kept for the next message: batches
// of a few thousand updates need no allocation each.
constexpr uint64_t RECEIVE_KEEP = 64ull << 10;
// Control frames carry at most this many bytes (RFC 6455, 5.5).
constexpr uint64_t CONTROL_PAYLOAD_MAX = 125;
// The most the buffer ever holds: a whole message joined, then one more
// frame header and a control frame's payload behind it.
constexpr uint64_t RECEIVE_CAPACITY_MAX = MESSAGE_MAX + FRAME_HEADER_MAX + CONTROL_PAYLOAD_MAX;

// Sizes the buffer for the frame that waits behind the joined message
// (whose header has been checked, handle_frame): grows it when that frame
// cannot fit, or gives back a heap block larger than RECEIVE_KEEP once
// what waits fits the record's own bytes again. False when memory ran out;
// the buffer is then unchanged.
bool fit_receive_buffer(FeedClient &client);

// Empties the buffer, forgets any message begun and gives back the heap block.
void reset_receive_buffer(FeedClient &client);
