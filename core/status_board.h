// The five status lines of the main window.
//   0 feed connection   1 watched fields   2 last feed message
//   3 last value handed to DDE             4 last error or notice
#pragma once

#include "core/printf_like.h"

#include "core/frame_pacer.h"

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

// The window timer that brings a change to the screen at the next frame, and
// the frame: the lines reach a visible window at most once in it.
constexpr UINT_PTR STATUS_TIMER_ID = 1030;
constexpr ULONGLONG STATUS_FRAME_MS = FRAME_MS;

// While the window is visible, a change of a line is drawn within one frame
// and at most one paint happens in a frame; a hidden window is not drawn, and
// its paint when it is shown draws the lines as they are then.
struct StatusBoard {
    char lines[STATUS_LINE_COUNT][STATUS_LINE_SIZE];  // NUL-terminated, at most 254 chars
    HWND window;         // where the lines are shown; none until start-up attaches it
    FramePacer pacer;    // on window, with STATUS_TIMER_ID
};

extern StatusBoard status_board;

// Once, right after the main window exists.
void attach_status_board(HWND window);

// Replaces line `line` (0 to 4; any other number is ignored) with the
// formatted text, cut to 254 characters. A visible window is invalidated and
// painted at once when a frame has passed since its last paint; otherwise the
// frame timer paints it when the frame ends. Never waits. Painting reads
// only the lines (docs/one-thread.md: paint).
void print_status(int line, const char *format, ...) PRINTF_LIKE(2, 3);

// Draws the five lines on the main window, one font created and deleted per call.
void paint_status_lines();

// The window's WM_PAINT (between BeginPaint and EndPaint): draws the lines,
// which are then up to date on the window.
void paint_status_window();

// WM_TIMER of STATUS_TIMER_ID: the frame has ended; a change made during it
// is drawn now, if the window is still visible. The timer then stops.
void on_status_timer();
