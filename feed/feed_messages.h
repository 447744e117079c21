// The two feed messages: requests out to the feed client, updates in.
#pragma once
#include <windows.h>
#include <ddeml.h>

#include <cstddef>

constexpr size_t FEED_TEXT_SIZE = 1024;  // item names and values, NUL included

// Queues one request frame for item and sends what the socket takes. Returns
// 0 when sent or queued, and when no client is open (nothing queued); -1 for
// a send error other than a full socket (the frame stays queued), or when
// the queue could not grow (the client is then disconnected).
int send_request(const char *item);

// Copies the quoted text that follows key_text in text (only blanks may come
// between) into output, cut to size - 1 characters. False when key_text is
// missing, no quote follows it, or the quoted text is empty.
bool extract_quoted_value(const char *text, const char *key_text, char *output, size_t size);

// Applies the update in text (a NUL-terminated payload): the field its key
// names takes the value, and every advise loop of instance on topic and that
// item is told before this returns. Takes registry_lock itself.
void apply_update(DWORD instance, HSZ topic, const char *text);
