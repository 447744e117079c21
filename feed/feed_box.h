// The feed's message boxes: the handshake's ("NO HEADERS", "INVALD HEADER")
// and the consent box of a web page. Each is shown only once its client is
// closed, and at most one is open at a time, so that no stray connection
// can pile boxes up on the desk; the feed is served as usual meanwhile.
#pragma once
#include <windows.h>

// True while one of the feed's boxes is open.
extern bool feed_box_open;

// Shows a box without an owner unless one of the feed's boxes is already
// open; then returns 0 at once. Else returns the box's answer.
int show_feed_box(const char *text, const char *caption, UINT type);
