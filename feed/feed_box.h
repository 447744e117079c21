// The feed's message boxes: "INVALD HEADER" for a malformed head and the
// consent box of a web page. Each is shown only once its client is closed,
// at most one is open at a time, and the header box at most once a minute,
// so that no stray connection can pile boxes up on the desk; the feed is
// served as usual meanwhile (docs/one-thread.md: boxes).
#pragma once
#include <windows.h>

struct FeedBoxes {
    bool open;                  // one of the feed's boxes is open
    bool header_shown;          // the header box has been shown in this run
    ULONGLONG header_shown_at;  // GetTickCount64 when it was
};

extern FeedBoxes feed_boxes;

// The "INVALD HEADER" box shows at most once this often.
constexpr ULONGLONG HEADER_BOX_INTERVAL_MS = 60000;

// Shows a box without an owner unless one of the feed's boxes is already
// open; then returns 0 at once. Else returns the box's answer.
int show_feed_box(const char *text, const char *caption, UINT type);

// Shows "INVALD HEADER" unless a feed box is open or the last one is less
// than HEADER_BOX_INTERVAL_MS ago.
void show_header_box();
