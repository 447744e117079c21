// The Status topic's changes on their way to both faces, and the tick of
// its clock.
#pragma once
#include <windows.h>

#include "core/topic_names.h"

// Posted to the main window when Status items changed.
constexpr UINT WM_STATUS_CHANGED = WM_USER + 6;
// The window timer of the Status topic's clock, due just after each whole
// second.
constexpr UINT_PTR CLOCK_TIMER_ID = 1031;

struct StatusRelay {
    HWND window;
    unsigned pending;  // a bit per StatusItem changed and not yet told
    bool posted;       // a WM_STATUS_CHANGED waits in the queue
};

extern StatusRelay status_relay;

// Once, when the main window exists: status_changed relays here, and the
// Status topic starts (since and clock are now).
void attach_status_relay(HWND window);

// What status_changed is set to. A change happens inside DDE transactions,
// COM calls and with the registry lock held, where neither face may be
// called: the item is noted, and one WM_STATUS_CHANGED carries every item
// noted before it is handled (docs/one-thread.md: post).
void relay_status_change(StatusItem item);

// WM_STATUS_CHANGED: every item noted reaches both faces, the DDE advise
// loops on it and the RTD topics (marked, for the next refresh).
void relay_status_changes();

// WM_TIMER of CLOCK_TIMER_ID: the clock's tick, and the next one armed.
// Start-up's last step calls it first, with the one-second timer.
void on_clock_timer();
