#include "rtd/rtd_notifier.h"

#include "rtd/rtd_server.h"

#include <new>

static LONG last_id;

static void release_notifier(Notifier *notifier)
{
    if (InterlockedDecrement(&notifier->references) != 0)
        return;
    if (notifier->interfaces)
        notifier->interfaces->Release();
    if (notifier->wake)
        CloseHandle(notifier->wake);
    if (notifier->thread)
        CloseHandle(notifier->thread);
    DeleteCriticalSection(&notifier->lock);
    delete notifier;
}

// Excel's callback as this thread may call it; null when it is gone.
static IRTDUpdateEvent *callback_of(Notifier *notifier)
{
    IRTDUpdateEvent *events = nullptr;
    if (FAILED(notifier->interfaces->GetInterfaceFromGlobal(notifier->cookie, IID_IRTDUpdateEvent,
                                                            reinterpret_cast<void **>(&events))))
        return nullptr;
    return events;
}

static DWORD WINAPI notifier_main(void *parameter)
{
    Notifier *notifier = static_cast<Notifier *>(parameter);
    bool in_apartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (bool done = !in_apartment; !done;) {
        WaitForSingleObject(notifier->wake, INFINITE);
        EnterCriticalSection(&notifier->lock);
        bool notify = notifier->notify, disconnect = notifier->disconnect;
        done = notifier->quit || disconnect;
        notifier->notify = false;
        LeaveCriticalSection(&notifier->lock);
        if (notify && !done) {
            IRTDUpdateEvent *events = callback_of(notifier);
            HRESULT result = events ? events->UpdateNotify() : E_FAIL;
            if (events)
                events->Release();
            if (FAILED(result))
                PostMessageA(notifier->window, WM_RTD_NOTIFY_FAILED, 0, static_cast<LPARAM>(notifier->id));
        }
        if (disconnect) {
            IRTDUpdateEvent *events = callback_of(notifier);
            if (events) {
                events->Disconnect();
                events->Release();
            }
        }
    }
    // Letting go of the callback may call into its Excel, too.
    if (in_apartment) {
        notifier->interfaces->RevokeInterfaceFromGlobal(notifier->cookie);
        CoUninitialize();
    }
    release_notifier(notifier);
    return 0;
}

Notifier *start_notifier(IRTDUpdateEvent *events, HWND window)
{
    Notifier *notifier = new (std::nothrow) Notifier();
    if (!notifier)
        return nullptr;
    InitializeCriticalSection(&notifier->lock);
    notifier->references = 1;
    notifier->id = static_cast<DWORD>(InterlockedIncrement(&last_id));
    notifier->window = window;
    notifier->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!notifier->wake ||
        FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGlobalInterfaceTable,
                                reinterpret_cast<void **>(&notifier->interfaces))) ||
        FAILED(notifier->interfaces->RegisterInterfaceInGlobal(events, IID_IRTDUpdateEvent,
                                                               &notifier->cookie))) {
        release_notifier(notifier);
        return nullptr;
    }
    notifier->references = 2;  // the caller's and the thread's
    notifier->thread = CreateThread(nullptr, 0, notifier_main, notifier, 0, nullptr);
    if (!notifier->thread) {
        notifier->interfaces->RevokeInterfaceFromGlobal(notifier->cookie);
        notifier->references = 1;
        release_notifier(notifier);
        return nullptr;
    }
    return notifier;
}

// Sets one request and wakes the thread.
static void request(Notifier *notifier, bool Notifier::*flag)
{
    EnterCriticalSection(&notifier->lock);
    notifier->*flag = true;
    LeaveCriticalSection(&notifier->lock);
    SetEvent(notifier->wake);
}

void notify_excel(Notifier *notifier)
{
    request(notifier, &Notifier::notify);
}

void end_notifier(Notifier *notifier)
{
    request(notifier, &Notifier::quit);
    release_notifier(notifier);
}

HANDLE disconnect_excel(Notifier *notifier)
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), notifier->thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                    0);
    request(notifier, &Notifier::disconnect);
    release_notifier(notifier);
    return thread;
}
