#include "app/startup.h"

#include "app/links_window.h"
#include "app/main_window.h"
#include "app/status_relay.h"
#include "app/tray_icon.h"
#include "core/field_links.h"
#include "core/log.h"
#include "core/log_file.h"
#include "core/message_box.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/feed_client.h"
#include "feed/feed_messages.h"
#include "feed/origin_policy.h"
#include "rtd/rtd_registration.h"
#include "rtd/rtd_server.h"
#include "rtd/topic_table.h"

#include <ddeml.h>
#include <shellapi.h>

#include "version.h"

#include <cctype>
#include <cstring>

HINSTANCE app_instance;
HWND main_window;
SOCKET listen_socket;
bool shutdown_begun;

static const char WINDOW_TITLE[] = "Quellvarden Vantrel";
constexpr u_short FEED_PORT = 8902;
constexpr DWORD MAX_PATH_ROOM = 1024;
// Only FD_ACCEPT and errors are acted on.
constexpr long LISTEN_EVENTS = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
// How long a copy that COM started and that cannot serve shows why before
// it ends: about as long as Windows shows a balloon.
constexpr UINT_PTR BALLOON_TIMER_ID = 1032;
constexpr UINT BALLOON_MS = 10000;
static const char COM_START_PORT_TAKEN[] =
    "Excel started Vantrel, but another copy already holds port 8902, so this one ends. An Excel run "
    "as administrator cannot use a copy that runs without: start Excel normally, or end Vantrel and "
    "let Excel start it.";
static const char COM_START_NO_CLASS[] =
    "Excel started Vantrel, but Windows refused its RTD server, so it ends and the RTD cells show #N/A.";

// A copy that COM started and that cannot serve says why in a balloon of
// its tray icon (it has no window on the screen, and a message box would
// hold up Excel's activation) and on its last status line, lets the balloon
// show, and then ends. Without a notification area it ends at once.
static void end_com_start(const char *why)
{
    print_status(STATUS_ERROR, "%s", why);
    log_event("Started by COM but cannot serve: %s", why);
    if (show_tray_balloon(why)) {
        SetTimer(main_window, BALLOON_TIMER_ID, BALLOON_MS, nullptr);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_TIMER && message.hwnd == main_window &&
                message.wParam == BALLOON_TIMER_ID)
                break;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        KillTimer(main_window, BALLOON_TIMER_ID);
    }
    Shell_NotifyIconA(NIM_DELETE, &tray_icon_data);
}

// A start that fails once the port is bound lets go of what it holds: the
// class object (COM itself goes in WinMain), the listener, the tray icon.
static void abandon_start()
{
    stop_rtd_server();
    closesocket(listen_socket);
    listen_socket = INVALID_SOCKET;
    log_file.holds_port = false;
    WSACleanup();
}

void tell_faces(const char *item, FieldPlace place)
{
    post_advise(item, place);
    rtd_field_changed(place);
    links_changed();
}

// Whether the command line holds -name or /name, name in any letter case
// (name given in small letters).
static bool has_switch(const char *command_line, const char *name)
{
    const size_t length = std::strlen(name);
    for (const char *p = command_line; p && *p;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        const char *start = p;
        while (*p && *p != ' ' && *p != '\t')
            ++p;
        if (static_cast<size_t>(p - start) != length + 1 || (*start != '-' && *start != '/'))
            continue;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i)
            same = std::tolower(static_cast<unsigned char>(start[1 + i])) == name[i];
        if (same)
            return true;
    }
    return false;
}

bool is_com_start(const char *command_line)
{
    return has_switch(command_line, "embedding");
}

const char *how_started(const char *command_line)
{
    if (is_com_start(command_line))
        return "by COM";
    return has_switch(command_line, "logon") ? "at logon" : "by hand";
}

void log_start(const char *how)
{
    WCHAR wide[MAX_PATH_ROOM];
    char path[3 * MAX_PATH_ROOM];
    DWORD length = GetModuleFileNameW(nullptr, wide, MAX_PATH_ROOM);
    if (length == 0 || length == MAX_PATH_ROOM ||
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, static_cast<int>(sizeof path), nullptr, nullptr) == 0)
        std::strcpy(path, "(path unknown)");
    log_event("Start: Vantrel %s, %s, started %s", VANTREL_VERSION_TEXT, path, how);
}

BOOL init_instance(HINSTANCE instance, int show_command, bool started_by_com)
{
    app_instance = instance;
    main_window =
        CreateWindowExA(0, MAIN_WINDOW_CLASS, WINDOW_TITLE, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                        CW_USEDEFAULT, CW_USEDEFAULT, 330, 145, nullptr, nullptr, app_instance, nullptr);
    if (!main_window)
        return FALSE;
    // Each face is given the window it works with, the faces the way to ask
    // the feed for a new field, and the feed the way to tell the faces of a
    // change: the layers below never include this one.
    attach_status_board(main_window);
    attach_feed(main_window, &listen_socket);
    attach_rtd(main_window);
    request_new_field = send_request;
    field_changed = tell_faces;
    attach_status_relay(main_window);
    init_tray_icon_data();

    WSADATA wsa_data;
    if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) {
        show_message_box(main_window, "WSAStartup failed", "error", MB_OK);
        return FALSE;
    }
    listen_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listen_socket == INVALID_SOCKET) {
        show_message_box(main_window, "Socket Error", "Error", MB_OK);
        WSACleanup();
        return FALSE;
    }
    // Loopback only: the feed client runs on this machine, and nothing else may reach it.
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(FEED_PORT);
    if (bind(listen_socket, reinterpret_cast<sockaddr *>(&address), static_cast<int>(sizeof address)) != 0) {
        // A copy COM started beside the one that runs shows no box, which
        // would hold up the activation, but says why before it ends.
        WSACleanup();
        if (started_by_com)
            end_com_start(COM_START_PORT_TAKEN);
        else
            show_message_box(main_window, "Bind Error. Program already running?", WINDOW_TITLE, MB_OK);
        return FALSE;
    }
    // This copy holds the port: it alone renames the log at its size limit.
    log_file.holds_port = true;
    if (WSAAsyncSelect(listen_socket, main_window, WM_LISTEN_SOCKET, LISTEN_EVENTS) != 0) {
        show_message_box(main_window, "ASYNC FAIL", "ERROR", MB_OK);
        closesocket(listen_socket);
        WSACleanup();
        return FALSE;
    }
    listen(listen_socket, 5);

    ShowWindow(main_window, started_by_com ? SW_HIDE : show_command);
    UpdateWindow(main_window);
    // A hidden window is never activated, which is when the icon is added.
    if (started_by_com)
        Shell_NotifyIconA(NIM_ADD, &tray_icon_data);

    if (!InitializeCriticalSectionAndSpinCount(&registry_lock, 1024))
        return FALSE;
    // Only the copy that holds the port says where COM finds it, and before
    // any message box of the DDE start could hold up an activation.
    register_rtd_class();
    bool rtd_serves = start_rtd_server();
    if (started_by_com && !rtd_serves) {
        abandon_start();
        end_com_start(COM_START_NO_CLASS);
        return FALSE;
    }
    DdeStartReport report;
    BOOL dde_serves = dde_start(&report);
    if (!dde_serves) {
        // The feed and RTD serve already: a box here runs them inside it
        // (docs/one-thread.md: boxes).
        show_message_box(nullptr, report.text, report.caption, MB_OK);
        if (report.fatal) {
            abandon_start();
            Shell_NotifyIconA(NIM_DELETE, &tray_icon_data);
            return FALSE;
        }
    }
    // With neither face serving, every feed client is refused.
    if (dde_serves || rtd_serves)
        ready_feed();
    SetTimer(main_window, ANIMATION_TIMER_ID, 1000, nullptr);
    on_clock_timer();
    // Only now the log is written once a frame: a start that fails leaves no
    // timer behind, and WinMain writes what it logged.
    attach_log(main_window);
    return TRUE;
}

void shutdown_app()
{
    // Telling each Excel dispatches messages: a second Exit may come meanwhile.
    if (shutdown_begun)
        return;
    shutdown_begun = true;
    log_event("End");
    // A consent box that the end of the loop closes records no answer.
    stop_origin_consent();
    stop_rtd_server();
    Shell_NotifyIconA(NIM_DELETE, &tray_icon_data);
    DdeNameService(dde_instance, service_name, nullptr, DNS_UNREGISTER);
    DdeUninitialize(dde_instance);
    PostQuitMessage(0);
}
