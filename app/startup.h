// Start-up and shutdown of the program, and the handles that live as long as it.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "core/field_links.h"

constexpr UINT_PTR ANIMATION_TIMER_ID = 1028;

extern HINSTANCE app_instance;
extern HWND main_window;
extern SOCKET listen_socket;
// Set once shutdown_app has run: late socket notifications are then ignored.
extern bool shutdown_begun;

// What start-up sets field_changed to: every face hears of the change.
void tell_faces(const char *item, FieldPlace place);

// Brings the program up in its fixed order; FALSE (after the failing step's
// message box, where it has one) when something it checks fails.
BOOL init_instance(HINSTANCE instance, int show_command);

// Removes the tray icon, withdraws the DDE service and ends the message loop.
// The registry lock outlives it: it is deleted after the loop has ended.
void shutdown_app();
