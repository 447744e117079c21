#include "core/message_box.h"

#include "core/log.h"

int show_message_box(HWND owner, const char *text, const char *caption, UINT type)
{
    log_event("Message box \"%s\": %s", caption, text);
    return MessageBoxA(owner, text, caption, type);
}
