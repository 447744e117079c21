// The frame of a window that shows data which changes faster than a person
// can read: a change reaches a visible window at most once a frame, and a
// hidden window is not drawn at all.
#pragma once
#include <windows.h>

constexpr ULONGLONG FRAME_MS = 33;

// While the window is visible, a change is drawn within one frame and at
// most one draw happens in a frame. frame_timer is true exactly while
// timer_id runs on window.
struct FramePacer {
    HWND window;           // where the changes are shown; none: nothing is drawn
    UINT_PTR timer_id;     // the window timer that ends a frame with a change pending
    bool changed;          // something changed since the window was last drawn
    bool frame_timer;      // timer_id runs: the change is drawn when it fires
    ULONGLONG last_frame;  // GetTickCount64 when the window was last drawn
};

// After a change (changed set): true when the window is to be drawn now, at
// once (a frame has passed since the last draw and the window is visible),
// which counts as drawn. Otherwise false, with the frame timer set when the
// change must wait for the frame's end. Never waits.
//
// Drawing at once, not only from the timer, is needed because a steady flow
// of posted messages (socket reads, DDE acknowledgements) keeps WM_PAINT and
// WM_TIMER, which come only when no posted message waits, from coming for as
// long as the flow lasts.
bool frame_due(FramePacer *pacer);

// WM_TIMER of timer_id: the frame has ended. True when a change made during
// it is to be drawn now; the timer then stops unless it was set again.
bool frame_timer_ended(FramePacer *pacer);

// The window was drawn now (its WM_PAINT): what changed is on it.
void frame_drawn(FramePacer *pacer);
