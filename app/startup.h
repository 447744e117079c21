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

// True when the command line holds -Embedding (or /Embedding, in any
// letter case): COM started the program for an RTD client. A null command
// line holds nothing.
bool is_com_start(const char *command_line);
// How the command line says the program was started, for the log: "by COM"
// (-Embedding), "at logon" (/logon, which the installer's Run value gives)
// or "by hand".
const char *how_started(const char *command_line);

// The log's first line: the version, the program's path and how it was
// started. Before anything else.
void log_start(const char *how);

// Brings the program up in its fixed order; FALSE (after the failing step's
// message box, where it has one) when something it checks fails, with what
// it had taken let go again. Started by COM, the window starts hidden in the
// tray; a port taken by another copy (COM may start two at once, and an
// elevated Excel cannot use a copy that runs without elevation) or a class
// object that cannot be registered shows no box but a balloon that says
// why, for about ten seconds, before the program ends.
BOOL init_instance(HINSTANCE instance, int show_command, bool started_by_com = false);

// Once however often called: the RTD server tells every Excel and stops,
// the tray icon goes, the DDE service is withdrawn and the message loop
// ends. The registry lock and COM outlive it: they end after the loop.
void shutdown_app();
