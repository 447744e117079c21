// The main window: five status lines under a menu bar; it hides instead of closing.
#pragma once
#include <windows.h>

constexpr char MAIN_WINDOW_CLASS[] = "VANTREL";

ATOM register_main_window_class(HINSTANCE instance);
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Act on main_window, whatever window a message came for.
void hide_main_window();
void show_main_window();

// File > Open log and the tray's Open log: the log, written up to now, in
// the editor Windows opens .log files with (ShellExecute). A failure is
// said on status line 4.
void open_log(HWND owner);
