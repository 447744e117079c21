#include "app/main_window.h"

#include "app/links_window.h"
#include "app/resource.h"
#include "app/startup.h"
#include "app/status_relay.h"
#include "app/tray_icon.h"
#include "core/log.h"
#include "core/log_file.h"
#include "core/status_board.h"
#include "feed/feed_client.h"
#include "feed/replay.h"
#include "rtd/rtd_server.h"
#include "rtd/topic_table.h"

static WNDCLASSEXA main_window_class;

ATOM register_main_window_class(HINSTANCE instance)
{
    main_window_class.cbSize = sizeof main_window_class;
    main_window_class.style = CS_HREDRAW | CS_VREDRAW;
    main_window_class.lpfnWndProc = main_window_proc;
    main_window_class.cbClsExtra = 0;
    main_window_class.cbWndExtra = 0;
    main_window_class.hInstance = instance;
    main_window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LANTERN_DARK));
    main_window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    main_window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    main_window_class.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
    main_window_class.lpszClassName = MAIN_WINDOW_CLASS;
    main_window_class.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LANTERN_DARK));
    return RegisterClassExA(&main_window_class);
}

void hide_main_window()
{
    ShowWindow(main_window, SW_HIDE);
}

void show_main_window()
{
    ShowWindow(main_window, SW_SHOW);
}

void open_log(HWND owner)
{
    // What waits is written first, so that the editor shows it.
    write_log();
    if (!log_file.located && locate_log() != 0) {
        print_status(STATUS_ERROR, "The log cannot be opened: %%LOCALAPPDATA%% has no folder for it");
        return;
    }
    const WCHAR open[] = {'o', 'p', 'e', 'n', 0};
    INT_PTR result =
        reinterpret_cast<INT_PTR>(ShellExecuteW(owner, open, log_file.path, nullptr, nullptr, SW_SHOWNORMAL));
    // Above 32 is success; the rest are error codes.
    if (result <= 32)
        print_status(STATUS_ERROR, "The log could not be opened (error %lld)",
                     static_cast<long long>(result));
}

static void erase_background(HWND window, HDC dc)
{
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        create_tray_menu();
        return 0;
    case WM_DESTROY:
        shutdown_app();
        return 0;
    case WM_ACTIVATE:
        // Adding an icon that is already there fails and changes nothing.
        Shell_NotifyIconA(NIM_ADD, &tray_icon_data);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        paint_status_window();
        EndPaint(window, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        erase_background(window, reinterpret_cast<HDC>(wparam));
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDM_ABOUT) {
            DialogBoxParamA(app_instance, MAKEINTRESOURCEA(IDD_ABOUT_BOX), window, about_dialog_proc, 0);
            return 0;
        }
        if (LOWORD(wparam) == IDM_OPEN_LOG) {
            open_log(window);
            return 0;
        }
        if (LOWORD(wparam) == IDM_VIEW_LINKS) {
            open_links_window();
            return 0;
        }
        if (LOWORD(wparam) == IDM_EXIT) {
            DestroyWindow(window);  // WM_DESTROY then runs shutdown_app
            return 0;
        }
        break;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) != SC_MINIMIZE && (wparam & 0xFFF0) != SC_CLOSE)
            break;
        hide_main_window();
        return 0;
    case WM_TIMER:
        if (wparam == ANIMATION_TIMER_ID) {
            animate_tray_icon(window);
            // A row turns quiet with time alone.
            links_changed();
            // An UpdateNotify that failed (Excel busy) is tried again.
            if (!shutdown_begun)
                notify_rtd_clients(false);
        } else if (wparam == FEED_TIMER_ID && !shutdown_begun)
            on_feed_timer();
        else if (wparam == STATUS_TIMER_ID)
            on_status_timer();
        else if (wparam == LOG_TIMER_ID)
            on_log_timer();
        else if (wparam == CLOCK_TIMER_ID && !shutdown_begun)
            on_clock_timer();
        return 0;
    case WM_STATUS_CHANGED:
        if (!shutdown_begun)
            relay_status_changes();
        return 0;
    case WM_RTD_NOTIFY:
        if (!shutdown_begun)
            notify_rtd_clients(true);
        return 0;
    case WM_RTD_NOTIFY_FAILED:
        rtd_notify_failed(lparam);
        return 0;
    case WM_TRAY_NOTIFY:
        on_tray_notification(window, wparam, lparam);
        return 0;
    case WM_LISTEN_SOCKET:
        if (!shutdown_begun)
            on_listen_socket_event(window, static_cast<SOCKET>(wparam), WSAGETSELECTEVENT(lparam),
                                   WSAGETSELECTERROR(lparam));
        return 0;
    case WM_CLIENT_SOCKET:
        if (!shutdown_begun)
            on_client_socket_event(window, static_cast<SOCKET>(wparam), WSAGETSELECTEVENT(lparam),
                                   WSAGETSELECTERROR(lparam));
        return 0;
    case WM_FEED_REPLAY:
        if (!shutdown_begun)
            continue_replay(wparam);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // the system gives the focus to the default button
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}
