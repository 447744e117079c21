// The five status lines of the main window.
//   0 feed connection   1 watched fields   2 last feed message
//   3 last value handed to DDE             4 last error or notice
#pragma once

#if defined(__MINGW32__)
#define PRINTF_LIKE(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define PRINTF_LIKE(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define PRINTF_LIKE(format_index, first_arg)
#endif

#include <windows.h>

enum StatusLine {
    STATUS_CONNECTION = 0,  // "Status: Connected" / "Status: Disconnected"
    STATUS_FIELDS = 1,      // the number of watched fields
    STATUS_RECEIVED = 2,    // the last message from the feed
    STATUS_DDE = 3,         // the last value handed to DDE
    STATUS_ERROR = 4,       // the last error or notice
};

constexpr int STATUS_LINE_COUNT = 5;
constexpr int STATUS_LINE_SIZE = 256;

struct StatusBoard {
    char lines[STATUS_LINE_COUNT][STATUS_LINE_SIZE];  // NUL-terminated, at most 254 chars
    HWND window;         // where the lines are shown; none until start-up attaches it
    bool paint_pending;  // the window has been invalidated and waits for its paint
};

extern StatusBoard status_board;

// Once, right after the main window exists.
void attach_status_board(HWND window);

// Replaces line `line` (0 to 4; any other number is ignored) with the
// formatted text, cut to 254 characters, and has the window repainted: a
// visible window not yet waiting for a paint is invalidated.
void print_status(int line, const char *format, ...) PRINTF_LIKE(2, 3);

// Draws the five lines on the main window, one font created and deleted per call.
void paint_status_lines();

// The window's WM_PAINT (between BeginPaint and EndPaint): draws the lines,
// and the window no longer waits for a paint.
void paint_status_window();

// Brings the lines on the window up to date at once, while it is visible. A
// hidden window shows nothing: when it is shown, its paint draws the lines as
// they are then.
void refresh_status_lines();
