// The bytes queued for the feed client, on the record given: send_buffer
// first, then the heap overflow behind it, sent in order as the socket takes
// them. Nothing here knows the connection's state.
#pragma once
#include "feed/feed_client.h"

// Appends one whole frame (FIN set, opcode, unmasked) whose payload is the
// pieces one after another: into send_buffer while it has room and nothing
// waits in the overflow, the rest into the overflow. All or nothing: false,
// with the queue as it was, when the overflow cannot grow or would pass
// 64 MiB.
bool queue_frame(FeedClient &client, int opcode, const char *const pieces[], const size_t sizes[],
                 int piece_count);

// Sends the queue on socket until it is empty or the socket is full (an
// FD_WRITE then brings the rest). Returns 0 for both, -1 for any other
// send error, which leaves the queue as it was.
int send_queued(FeedClient &client, SOCKET socket);

// True when nothing waits to be sent.
bool send_queue_empty(const FeedClient &client);

// Drops everything queued and releases the overflow.
void empty_send_queue(FeedClient &client);
