// The feed's message boxes, one at a time, the header box rarely.
#include "feed/feed_box.h"

#include "core/message_box.h"

FeedBoxes feed_boxes;

int show_feed_box(const char *text, const char *caption, UINT type)
{
    if (feed_boxes.open)
        return 0;
    feed_boxes.open = true;
    int answer = show_message_box(nullptr, text, caption, type);
    feed_boxes.open = false;
    return answer;
}

void show_header_box()
{
    ULONGLONG now = GetTickCount64();
    if (feed_boxes.open || (feed_boxes.header_shown && now - feed_boxes.header_shown_at < HEADER_BOX_INTERVAL_MS))
        return;
    feed_boxes.header_shown = true;
    feed_boxes.header_shown_at = now;
    show_feed_box("INVALD HEADER", "", MB_OK);
}
