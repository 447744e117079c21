// WebSocket frames to and from the feed client.
#pragma once

// Queues one request frame for item and sends what is queued. Returns 0 when
// sent or when no client is open (nothing queued), -1 when the send failed or
// the frame does not fit the queue (the queue then keeps what it had).
int send_request(const char *item);
