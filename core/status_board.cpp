#include "core/status_board.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

StatusBoard status_board;

void attach_status_board(HWND window)
{
    status_board.window = window;
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
    // With no window, InvalidateRect would repaint every window of the desktop.
    // A hidden window shows nothing, and one already waiting for its paint
    // draws the lines as they are by then: invalidating either again would
    // only cost time at every update.
    if (status_board.window && !status_board.paint_pending && IsWindowVisible(status_board.window)) {
        InvalidateRect(status_board.window, nullptr, TRUE);
        status_board.paint_pending = true;
    }
}

void paint_status_window()
{
    status_board.paint_pending = false;
    paint_status_lines();
}

void refresh_status_lines()
{
    if (status_board.window && IsWindowVisible(status_board.window))
        paint_status_lines();
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
