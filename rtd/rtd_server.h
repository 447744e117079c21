// The RTD server in COM, inside vantrel.exe on the window's thread, seen
// from start-up and the window: its start, the notifications of changes,
// and its end. The COM shell is split by job: the server object per Excel
// (rtd/rtd_server_object.h), the class factory (rtd/rtd_class_factory.h),
// the calls out to each Excel (rtd/rtd_notifier.h), the message filter
// (rtd/rtd_message_filter.h) and the registry keys
// (rtd/rtd_registration.h); the topics themselves are plain data
// (rtd/topic_table.h). The native build has no COM: its stand-in of these
// functions answers that no class object is registered and does nothing.
#pragma once

#include <windows.h>

// Posted when an UpdateNotify failed (Excel busy); lParam is the id of that
// Excel's notifier.
constexpr UINT WM_RTD_NOTIFY_FAILED = WM_USER + 5;

// Once the port is bound and before the DDE service starts: COM for this
// thread (single-threaded apartment), the message filter, the interfaces'
// keys written for the user where Excel's are not usable (and an older
// version's removed from the 32-bit view), and the class object
// (CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE). True when the class object is
// registered.
bool start_rtd_server();

// Shutdown, once however often called: new topics are refused, every
// connected Excel is told (IRTDUpdateEvent::Disconnect, each from its own
// notifier thread), the window's thread waits for all of them together at
// most 3 seconds (taking their calls meanwhile), and the class object is
// revoked. Also after a start that failed part way.
void stop_rtd_server();

// After the message loop and before registry_lock goes: the type library
// is released and COM uninitialised, which lets go of every server object.
void end_rtd_com();

// WM_RTD_NOTIFY (message true) and the one-second tick (false):
// UpdateNotify for every server object whose changes wait for one, each
// called from its Excel's notifier thread (rtd/rtd_notifier.h).
void notify_rtd_clients(bool message);

// WM_RTD_NOTIFY_FAILED: that Excel's changes wait for the next tick's try.
void rtd_notify_failed(LPARAM which);
