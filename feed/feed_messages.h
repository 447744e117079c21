// The two feed messages: requests out to the feed client, updates in.
#pragma once
#include <cstddef>

// Queues one request frame for item and sends what the socket takes. Returns
// 0 when sent or queued, and when no client is open or the running replay
// will ask for item (nothing queued); -1 for a send error other than a full
// socket (the frame stays queued), or when the queue could not grow (the
// client is then disconnected).
int send_request(const char *item);
// Queues one request frame for item, sending nothing; false, with nothing
// queued, when the queue could not take it.
bool queue_request(const char *item);

// Applies the updates of a message's payload[0..length), with a NUL at
// payload[length], which reading rewrites: every field they name takes its
// value, in order, and every face is told of each (field_changed) before
// this returns. A payload refused as a whole, or too large a batch for the
// memory left, changes nothing and is shown on status line 4. Takes
// registry_lock itself.
void apply_update(char *payload, size_t length);
