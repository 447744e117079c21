// The feed's message boxes, one at a time.
#include "feed/feed_box.h"

bool feed_box_open;

int show_feed_box(const char *text, const char *caption, UINT type)
{
    if (feed_box_open)
        return 0;
    feed_box_open = true;
    int answer = MessageBoxA(nullptr, text, caption, type);
    feed_box_open = false;
    return answer;
}
