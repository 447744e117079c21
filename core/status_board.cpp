#include "core/status_board.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

StatusBoard status_board;

void attach_status_board(HWND window)
{
    status_board.window = window;
    status_board.pacer.window = window;
    status_board.pacer.timer_id = STATUS_TIMER_ID;
}

// Draws a change on a visible window, at once or when the frame ends.
static void show_changes()
{
    if (frame_due(&status_board.pacer)) {
        InvalidateRect(status_board.window, nullptr, TRUE);
        UpdateWindow(status_board.window);
    }
}

void print_status(int line, const char *format, ...)
{
    if (line < 0 || line >= STATUS_LINE_COUNT)
        return;
    va_list args;
    va_start(args, format);
    // 255 rather than the full 256: a line shows at most 254 characters.
    std::vsnprintf(status_board.lines[line], STATUS_LINE_SIZE - 1, format, args);
    va_end(args);
    status_board.pacer.changed = true;
    show_changes();
}

void paint_status_window()
{
    frame_drawn(&status_board.pacer);
    paint_status_lines();
}

void on_status_timer()
{
    if (frame_timer_ended(&status_board.pacer)) {
        InvalidateRect(status_board.window, nullptr, TRUE);
        UpdateWindow(status_board.window);
    }
}

void paint_status_lines()
{
    HDC dc = GetDC(status_board.window);
    HFONT font =
        CreateFontA(16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, PROOF_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "SYSTEM_FIXED_FONT");
    HGDIOBJ old_font = SelectObject(dc, font);
    for (int i = 0; i < STATUS_LINE_COUNT; ++i) {
        const char *text = status_board.lines[i];
        TextOutA(dc, 5, 5 + 15 * i, text, static_cast<int>(std::strlen(text)));
    }
    SelectObject(dc, old_font);
    DeleteObject(font);
    ReleaseDC(status_board.window, dc);
}
