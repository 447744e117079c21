// The calls out to one Excel (UpdateNotify, and Disconnect at the end),
// each from a thread of that Excel's own, never from the window's thread: a
// workbook that does not answer (a long macro or recalculation, a hung
// Excel) then holds up only its own thread, not the feed, the DDE cells, the
// other Excels' notifications or the program's exit (docs/one-thread.md:
// com).
#pragma once
#include <windows.h>
#include <ole2.h>

#include "vantrel_rtd.h"

// One Excel's notifier. Shared by the server object and the thread, freed
// by whichever lets go last: a thread that is still inside a call when the
// program ends keeps its record, so nothing it touches is ever destroyed
// under it (the record is never static).
struct Notifier {
    LONG references;
    DWORD id;  // names it in WM_RTD_NOTIFY_FAILED
    HANDLE thread;
    HANDLE wake;            // auto-reset: a request waits
    CRITICAL_SECTION lock;  // guards the three requests
    bool notify;            // one UpdateNotify is wanted
    bool disconnect;        // Disconnect, then end
    bool quit;              // end without a call
    IGlobalInterfaceTable *interfaces;
    DWORD cookie;  // Excel's callback in the global interface table
    HWND window;   // where a failed UpdateNotify is posted
};

// The notifier of the callback Excel passed to ServerStart, its thread
// started and in the multithreaded apartment; null when the thread, the
// table or memory cannot be had. Called on the window's thread.
Notifier *start_notifier(IRTDUpdateEvent *events, HWND window);

// One UpdateNotify, soon; requests before it goes out are one. A failed
// call posts WM_RTD_NOTIFY_FAILED with the notifier's id.
void notify_excel(Notifier *notifier);

// No more calls: the thread lets go of the callback and ends by itself.
// The caller's share of the record goes.
void end_notifier(Notifier *notifier);

// At the end: the thread tells Excel Disconnect, then ends. Gives a handle
// of the thread to wait for (the caller closes it), null when there is none.
// The caller's share of the record goes.
HANDLE disconnect_excel(Notifier *notifier);
