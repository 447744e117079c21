// WebSocket frames to and from the feed client, and the two feed messages.
#pragma once
#include "feed/feed_client.h"

#include <ddeml.h>

#include <cstddef>
#include <cstdint>

constexpr size_t FEED_TEXT_SIZE = 1024;  // item names and values, NUL included

// Queues one frame (FIN set, first_byte its opcode) whose payload is the
// pieces one after another, and sends what the socket takes. Returns 0 when
// sent or queued; -1 for a send error (the frame stays queued), or when the
// queue could not grow (the client is then disconnected).
int send_frame(unsigned char first_byte, const char *const pieces[], const size_t sizes[],
               int piece_count);

// Queues one request frame for item and sends what the socket takes. Returns
// 0 when sent or queued, and when no client is open (nothing queued); -1 for
// a send error other than a full socket (the frame stays queued), or when
// the queue could not grow (the client is then disconnected).
int send_request(const char *item);

// value as loaded from memory, from network (big-endian) to host order.
uint64_t network_to_host64(uint64_t value);

// The header size that the first two bytes of a frame announce: 2, 4 or 10,
// plus 4 when masked.
size_t frame_header_size(unsigned char second_byte);
// Reads a whole header (frame_header_size bytes must be there). Returns the
// payload length; header_size is where the payload begins; mask_key gets the
// four key bytes when masked.
uint64_t decode_frame_header(const unsigned char *frame, bool masked, size_t &header_size,
                             unsigned char mask_key[4]);

// Copies the quoted text that follows key_text in text (only blanks may come
// between) into output, cut to size - 1 characters. False when key_text is
// missing, no quote follows it, or the quoted text is empty.
bool extract_quoted_value(const char *text, const char *key_text, char *output, size_t size);

// Handles the frame at frame_offset in client.receive_buffer. Returns 1 when
// a frame was consumed (frame_offset moved past it), 0 when it has not fully
// arrived (nothing changed), -1 when the connection must end: a close frame
// (consumed), a frame longer than receive_buffer can ever hold, or a pong
// that could not be queued. A close frame, and a frame that can never fit,
// start the closing handshake (close_feed_client); the rest of the read is
// then not for handle_frame.
int handle_frame(DWORD instance, HSZ topic, FeedClient &client, uint64_t &frame_offset);
