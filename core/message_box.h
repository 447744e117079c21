// Every message box the program shows, logged with its text before it opens.
#pragma once
#include <windows.h>

// MessageBoxA, after a log line with the caption and the text. Gives the
// box's answer. Like any box, it runs a modal loop: see where the callers
// may show one.
int show_message_box(HWND owner, const char *text, const char *caption, UINT type);
