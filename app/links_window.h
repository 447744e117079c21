// The Links window: every field that a cell watches, in a list view in
// virtual mode that asks the model (core/links_model.h) for the cells it
// shows. A second top-level window, opened from the View menu and the tray
// menu; closing it hides it. It is drawn at most once a frame, and not at
// all while hidden.
#pragma once
#include <windows.h>

constexpr char LINKS_WINDOW_CLASS[] = "VANTREL_LINKS";
// The timer on the Links window that ends a frame with a change pending.
constexpr UINT_PTR LINKS_TIMER_ID = 1034;

extern HWND links_window;  // none until first opened
extern HWND links_list;    // its list view

ATOM register_links_window_class(HINSTANCE instance);
LRESULT CALLBACK links_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Shows the window, making it on first use, in front with the rows as they are now.
void open_links_window();

// Something the rows show changed (a value, or the time at the clock's
// tick): shown within a frame while the window is visible, at once when a
// frame has passed. May be called with registry_lock held, from wherever
// the feed's update is read.
void links_changed();
