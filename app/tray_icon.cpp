#include "app/tray_icon.h"

#include "app/links_window.h"
#include "app/main_window.h"
#include "app/resource.h"
#include "app/startup.h"
#include "feed/feed_client.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

NOTIFYICONDATAA tray_icon_data;
HMENU tray_menu;
int animation_frame;

// The record as far as guidItem: 520 bytes on 64-bit Windows, understood by
// every shell since Vista.
constexpr DWORD TRAY_RECORD_SIZE = static_cast<DWORD>(offsetof(NOTIFYICONDATAA, guidItem) + sizeof(GUID));

static HICON load_own_icon(int id)
{
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
}

void init_tray_icon_data()
{
    std::memset(&tray_icon_data, 0, sizeof tray_icon_data);
    tray_icon_data.cbSize = TRAY_RECORD_SIZE;
    tray_icon_data.hWnd = main_window;
    tray_icon_data.uID = TRAY_ICON_ID;
    tray_icon_data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray_icon_data.uCallbackMessage = WM_TRAY_NOTIFY;
    tray_icon_data.hIcon = load_own_icon(IDI_LANTERN_DARK);
    std::snprintf(tray_icon_data.szTip, sizeof tray_icon_data.szTip, "%.64s", "Quellvarden Vantrel");
}

bool show_tray_balloon(const char *text)
{
    NOTIFYICONDATAA data = tray_icon_data;
    data.uFlags |= NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    std::snprintf(data.szInfoTitle, sizeof data.szInfoTitle, "%s", "Quellvarden Vantrel");
    std::snprintf(data.szInfo, sizeof data.szInfo, "%s", text);
    return Shell_NotifyIconA(NIM_ADD, &data) || Shell_NotifyIconA(NIM_MODIFY, &data);
}

void create_tray_menu()
{
    tray_menu = CreatePopupMenu();
    AppendMenuA(tray_menu, MF_STRING, IDM_TRAY_LINKS, "Links...");
    AppendMenuA(tray_menu, MF_STRING, IDM_TRAY_OPEN_LOG, "Open log");
    AppendMenuA(tray_menu, MF_STRING, IDM_TRAY_CLOSE, "Close");
}

/*
 * Connected: 101 dark, 110 beam left, 111 glare, 112 beam right (4 s a sweep).
 * Waiting:   113 dark, 114 small red glow, 115 large red glow (3 s).
 * Both cycles share animation_frame, so a change of state continues from the
 * counter where it stands; a counter beyond the new cycle's end loads nothing
 * for one tick and starts over.
 */
static const int CONNECTED_FRAMES[] = {IDI_LANTERN_DARK, IDI_BEAM_LEFT, IDI_GLARE, IDI_BEAM_RIGHT};
static const int WAITING_FRAMES[] = {IDI_WAIT_DARK, IDI_WAIT_SMALL_GLOW, IDI_WAIT_LARGE_GLOW};

void animate_tray_icon(HWND window)
{
    // Chosen by whether a feed client socket exists: the record's state alone
    // also reads "not none" when the DDE service failed and no client can come.
    bool connected = feed_client.socket != INVALID_SOCKET;
    const int *frames = connected ? CONNECTED_FRAMES : WAITING_FRAMES;
    int frame_count = connected ? 4 : 3;

    int old_frame = animation_frame;
    if (old_frame >= 0 && old_frame < frame_count)
        tray_icon_data.hIcon = load_own_icon(frames[old_frame]);
    ++animation_frame;
    if (old_frame >= frame_count - 1)
        animation_frame = 0;

    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(tray_icon_data.hIcon));
    Shell_NotifyIconA(NIM_MODIFY, &tray_icon_data);
}

void on_tray_notification(HWND window, WPARAM wparam, LPARAM lparam)
{
    if (wparam == TRAY_ICON_ID)
        SetForegroundWindow(window);
    if (lparam == WM_LBUTTONUP) {
        show_main_window();
    } else if (lparam == WM_RBUTTONDOWN) {
        POINT cursor;
        GetCursorPos(&cursor);
        SetForegroundWindow(window);
        // TPM_RETURNCMD: the choice comes back here instead of as WM_COMMAND.
        int command =
            TrackPopupMenu(tray_menu, TPM_RETURNCMD | TPM_NONOTIFY, cursor.x, cursor.y, 0, window, nullptr);
        // Lets the menu close properly when the user clicks elsewhere.
        SendMessageA(window, WM_NULL, 0, 0);
        if (command == IDM_TRAY_LINKS)
            open_links_window();
        else if (command == IDM_TRAY_CLOSE)
            shutdown_app();
        else if (command == IDM_TRAY_OPEN_LOG)
            open_log(window);
    }
}
