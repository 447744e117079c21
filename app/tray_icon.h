// The notification-area icon: a lighthouse whose lantern shows the feed state.
#pragma once
#include <windows.h>
#include <shellapi.h>

constexpr UINT WM_TRAY_NOTIFY = WM_USER + 1;

extern NOTIFYICONDATAA tray_icon_data;
extern HMENU tray_menu;
// Shared by both animation cycles and never reset when the feed state changes.
extern int animation_frame;

// Clears and fills tray_icon_data for main_window, with the start icon 101.
void init_tray_icon_data();
// The tray icon, added if it is not there yet, with a warning balloon of
// text (cut to 255 characters). False when the notification area takes
// neither (none is there: no balloon shows).
bool show_tray_balloon(const char *text);
// The popup menu of the tray icon: "Links...", "Open log", "Close".
void create_tray_menu();
// One tick of timer 1028: the next frame of the cycle the feed state asks for.
void animate_tray_icon(HWND window);
// A mouse message on the tray icon (wparam the icon id, lparam the mouse message).
void on_tray_notification(HWND window, WPARAM wparam, LPARAM lparam);
