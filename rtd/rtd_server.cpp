// The RTD server's life on the window's thread: COM started, the class
// object offered, every Excel told of changes through its notifier, and at
// the end told Disconnect, waited for, and let go.
#include "rtd/rtd_server.h"

#include "rtd/rtd_class_factory.h"
#include "rtd/rtd_message_filter.h"
#include "rtd/rtd_registration.h"
#include "rtd/rtd_server_object.h"

#include <new>
#include <vector>

// At the end, the longest the program waits for every Excel together to
// answer Disconnect; it then ends whatever they do.
constexpr DWORD DISCONNECT_LIMIT_MS = 3000;
constexpr DWORD PATH_ROOM = 32768;

static ITypeLib *type_library;
static bool com_initialised;
static bool stopped;
static WCHAR module_path[PATH_ROOM];

bool start_rtd_server()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return false;
    com_initialised = true;
    install_message_filter();

    DWORD length = GetModuleFileNameW(nullptr, module_path, PATH_ROOM);
    if (length > 0 && length < PATH_ROOM && SUCCEEDED(LoadTypeLibEx(module_path, REGKIND_NONE, &type_library)))
        type_library->GetTypeInfoOfGuid(IID_IRtdServer, &server_type_info);
    register_user_rtd_interfaces(type_library ? module_path : nullptr, type_library_loads);
    return register_class_object();
}

// The live server objects, each held by one reference until release_all.
static std::vector<RtdServer *> hold_servers()
{
    std::vector<RtdServer *> servers;
    try {
        servers.reserve(rtd_state.tables.size());
    } catch (const std::bad_alloc &) {
        return servers;
    }
    for (TopicTable *table : rtd_state.tables) {
        RtdServer *server = static_cast<RtdServer *>(table->owner);
        server->AddRef();
        servers.push_back(server);
    }
    return servers;
}

static void release_all(const std::vector<RtdServer *> &servers)
{
    for (RtdServer *server : servers)
        server->Release();
}

static bool call_update_notify(TopicTable *table)
{
    Notifier *notifier = static_cast<RtdServer *>(table->owner)->notifier;
    if (notifier)
        notify_excel(notifier);  // no Excel to tell (yet, or any more) otherwise
    return true;
}

void notify_rtd_clients(bool message)
{
    if (message)
        rtd_state.notify_posted = false;
    if (rtd_state.closing)
        return;
    // Copies held by a reference: a final Release may come during a call out.
    std::vector<RtdServer *> servers = hold_servers();
    std::vector<TopicTable *> tables;
    try {
        for (RtdServer *server : servers)
            tables.push_back(server->table);
    } catch (const std::bad_alloc &) {
        tables.clear();
    }
    notify_pass(tables.data(), tables.size(), call_update_notify);
    release_all(servers);
}

void rtd_notify_failed(LPARAM which)
{
    for (TopicTable *table : rtd_state.tables) {
        Notifier *notifier = static_cast<RtdServer *>(table->owner)->notifier;
        if (notifier && notifier->id == static_cast<DWORD>(which))
            table->notified = false;
    }
}

// Waits until every thread has ended or the limit has passed, and closes
// the handles. The window's thread goes on taking calls meanwhile: an Excel
// told Disconnect may call back (DisconnectData, ServerTerminate) before it
// answers.
static void wait_for_threads(const std::vector<HANDLE> &threads, DWORD limit_ms)
{
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (HANDLE thread : threads) {
        for (;;) {
            ULONGLONG now = GetTickCount64();
            DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_ALLINPUT) != WAIT_OBJECT_0 + 1)
                break;
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        CloseHandle(thread);
    }
}

void stop_rtd_server()
{
    if (stopped || !com_initialised)
        return;
    stopped = true;
    rtd_state.closing = true;
    // Every Excel is told at once, each by its own thread; a hung one holds
    // up none of the others, and the exit at most DISCONNECT_LIMIT_MS.
    std::vector<HANDLE> threads;
    std::vector<RtdServer *> servers = hold_servers();
    for (RtdServer *server : servers) {
        if (!server->notifier)
            continue;
        HANDLE thread = disconnect_excel(server->notifier);
        server->notifier = nullptr;
        if (!thread)
            continue;
        try {
            threads.push_back(thread);
        } catch (const std::bad_alloc &) {
            CloseHandle(thread);
        }
    }
    wait_for_threads(threads, DISCONNECT_LIMIT_MS);
    release_all(servers);
    revoke_class_object();
}

void end_rtd_com()
{
    if (!com_initialised)
        return;
    if (server_type_info)
        server_type_info->Release();
    if (type_library)
        type_library->Release();
    server_type_info = nullptr;
    type_library = nullptr;
    remove_message_filter();
    CoUninitialize();
    com_initialised = false;
}
