#include "core/status_board.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

StatusBoard status_board;

void attach_status_board(HWND window)
{
    status_board.window = window;
}

// Draws a change on a visible window: at once when the last frame is over,
// or by the frame timer when it ends. The paint at once is needed because a
// steady flow of posted messages (socket reads, DDE acknowledgements) keeps
// WM_PAINT and WM_TIMER, which come only when no posted message waits, from
// coming for as long as the flow lasts.
static void show_changes()
{
    HWND window = status_board.window;
    // With no window, InvalidateRect would repaint every window of the desktop.
    if (!status_board.changed || !window)
        return;
    ULONGLONG now = GetTickCount64();
    ULONGLONG since = now - status_board.last_frame;
    if (since < STATUS_FRAME_MS && status_board.frame_timer)
        return;
    if (!IsWindowVisible(window))
        return;
    if (since >= STATUS_FRAME_MS) {
        // Counted as drawn before the paint: a window that gets no WM_PAINT
        // (minimised) is not asked again until the next frame.
        status_board.changed = false;
        status_board.last_frame = now;
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
        return;
    }
    SetTimer(window, STATUS_TIMER_ID, static_cast<UINT>(STATUS_FRAME_MS - since), nullptr);
    status_board.frame_timer = true;
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
    status_board.changed = true;
    show_changes();
}

void paint_status_window()
{
    status_board.changed = false;
    status_board.last_frame = GetTickCount64();
    paint_status_lines();
}

void on_status_timer()
{
    status_board.frame_timer = false;
    show_changes();
    if (!status_board.frame_timer)
        KillTimer(status_board.window, STATUS_TIMER_ID);
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
