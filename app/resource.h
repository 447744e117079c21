// Resource and command ids, shared by the program and vantrel.rc.
#pragma once

// Icons: 101 is the class icon and frame 0 of the connected cycle.
#define IDI_LANTERN_DARK 101
#define IDI_BEAM_LEFT 110
#define IDI_GLARE 111
#define IDI_BEAM_RIGHT 112
#define IDI_WAIT_DARK 113
#define IDI_WAIT_SMALL_GLOW 114
#define IDI_WAIT_LARGE_GLOW 115

// Menu bar and accelerator table share one id.
#define IDR_MAIN_MENU 109
#define IDD_ABOUT_BOX 103
#define IDC_ABOUT_ICON 1000

// Command ids.
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_TRAY_CLOSE 1002

// The log: File > Open log and the tray menu's Open log.
#define IDM_OPEN_LOG 106
#define IDM_TRAY_OPEN_LOG 1004
// The Links window: View > Links and the tray menu's "Links...".
#define IDM_VIEW_LINKS 107
#define IDM_TRAY_LINKS 1003

// Id of the tray icon; also the wParam of its notifications.
#define TRAY_ICON_ID 103

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
