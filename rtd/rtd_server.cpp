#include "rtd/rtd_server.h"

#include "rtd/rtd_registration.h"
#include "rtd/topic_table.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "vantrel_rtd.h"

#include <algorithm>
#include <new>
#include <vector>

// What Excel shows as #N/A.
constexpr SCODE EXCEL_NA = static_cast<SCODE>(0x800A07FA);
// An outgoing call (UpdateNotify, Disconnect) that Excel leaves unanswered
// this long is cancelled, where the platform honours the cancellation.
constexpr DWORD CALL_LIMIT_MS = 5000;
constexpr DWORD PATH_ROOM = 32768;

static ITypeLib *type_library;
static ITypeInfo *server_type_info;  // IRtdServer's, for IDispatch
static DWORD class_cookie;
static bool com_initialised;
static bool stopped;
static WCHAR module_path[PATH_ROOM];

/*
 * One server object per CoCreateInstance: one Excel. Excel calls
 * ServerStart with its callback, then ConnectData per topic, RefreshData
 * after each UpdateNotify (at most once per throttle interval),
 * DisconnectData, Heartbeat, and ServerTerminate at the end.
 */
class RtdServer final : public IRtdServer {
public:
    TopicTable *table = nullptr;
    IRTDUpdateEvent *callback = nullptr;
    DWORD callback_cookie = 0;  // the callback in the global interface table, for the notifier

    ~RtdServer()
    {
        // The final Release: an Excel that crashed never called ServerTerminate.
        if (table)
            delete_topic_table(table);
        set_callback(nullptr);
    }

    void set_callback(IRTDUpdateEvent *events);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IRtdServer) {
            *object = static_cast<IRtdServer *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = --references;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch, always through the embedded type library.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        if (!count)
            return E_POINTER;
        *count = server_type_info ? 1 : 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo **info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0 || !server_type_info)
            return DISP_E_BADINDEX;
        server_type_info->AddRef();
        *info = server_type_info;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override
    {
        return server_type_info ? DispGetIDsOfNames(server_type_info, names, count, ids) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *parameters,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argument_error) override
    {
        if (!server_type_info)
            return E_NOTIMPL;
        return DispInvoke(static_cast<IRtdServer *>(this), server_type_info, id, flags, parameters, result,
                          exception, argument_error);
    }

    // IRtdServer
    HRESULT STDMETHODCALLTYPE ServerStart(IRTDUpdateEvent *events, long *result) override
    {
        if (!result)
            return E_POINTER;
        set_callback(events);
        table->notified = false;
        *result = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectData(long id, SAFEARRAY **strings, VARIANT_BOOL *get_new_values,
                                          VARIANT *value) override;
    HRESULT STDMETHODCALLTYPE RefreshData(long *count, SAFEARRAY **changes) override;
    HRESULT STDMETHODCALLTYPE DisconnectData(long id) override
    {
        disconnect_topic(table, id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Heartbeat(long *result) override
    {
        if (!result)
            return E_POINTER;
        *result = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ServerTerminate() override
    {
        forget_topics(table);
        set_callback(nullptr);
        return S_OK;
    }

private:
    LONG references = 1;
};

// Strings: a one-dimensional SAFEARRAY of VARIANT, locked by the caller;
// gives the element count, of which the first `room` are unpacked.
static size_t unpack_strings(SAFEARRAY *array, TopicString *out, size_t room)
{
    VARTYPE type = VT_EMPTY;
    if (SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &type)) || type != VT_VARIANT)
        return 0;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower)
        return 0;
    size_t count = static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1);
    const VARIANT *elements = static_cast<const VARIANT *>(array->pvData);
    for (size_t i = 0; i < count && i < room; ++i) {
        const VARIANT &element = elements[i];
        bool text = V_VT(&element) == VT_BSTR;
        BSTR units = text ? V_BSTR(&element) : nullptr;
        out[i] = TopicString{text, units, units ? SysStringLen(units) : 0};
    }
    return count;
}

// The value as a VARIANT; false when the text cannot be allocated.
static bool pack_value(const RtdValue &from, VARIANT *to)
{
    VariantInit(to);
    if (from.is_number) {
        V_VT(to) = VT_R8;
        V_R8(to) = from.number;
        return true;
    }
    BSTR text = SysAllocStringLen(from.text, static_cast<UINT>(from.length));
    if (!text)
        return false;
    V_VT(to) = VT_BSTR;
    V_BSTR(to) = text;
    return true;
}

/*
 * ConnectData: =RTD("Quellvarden.Quote",,"1234.lastprice") comes as one
 * string, =RTD("Quellvarden.Quote",,"1234","lastprice") as two. The answer
 * is the field's value (GetNewValues then true), a single blank while it
 * has none (GetNewValues as Excel passed it, so saved values stay until the
 * feed answers), or #N/A for anything that is not an item.
 */
HRESULT RtdServer::ConnectData(long id, SAFEARRAY **strings, VARIANT_BOOL *get_new_values, VARIANT *value)
{
    if (!value || !get_new_values)
        return E_POINTER;
    VariantInit(value);
    SAFEARRAY *array = strings ? *strings : nullptr;
    bool locked = array && SUCCEEDED(SafeArrayLock(array));
    TopicString unpacked[3];
    size_t count = locked ? unpack_strings(array, unpacked, 3) : 0;
    RtdValue shown;
    ConnectOutcome outcome = connect_topic(table, id, unpacked, count, &shown);
    if (locked)
        SafeArrayUnlock(array);
    switch (outcome) {
    case CONNECT_REFUSED:
        return rtd_state.closing ? CO_E_SERVER_STOPPING : E_OUTOFMEMORY;
    case CONNECT_BAD_ITEM:
        V_VT(value) = VT_ERROR;
        V_ERROR(value) = EXCEL_NA;
        return S_OK;
    case CONNECT_VALUE:
        *get_new_values = VARIANT_TRUE;
        break;
    case CONNECT_BLANK:
        break;
    }
    if (!pack_value(shown, value)) {
        disconnect_topic(table, id);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

struct RefreshArray {
    SAFEARRAY *array;
};

static void put_change(void *context, size_t index, long id, const RtdValue &value)
{
    SAFEARRAY *array = static_cast<RefreshArray *>(context)->array;
    LONG at[2] = {0, static_cast<LONG>(index)};
    VARIANT element;
    VariantInit(&element);
    V_VT(&element) = VT_I4;
    V_I4(&element) = id;
    SafeArrayPutElement(array, at, &element);
    at[0] = 1;
    if (pack_value(value, &element)) {
        SafeArrayPutElement(array, at, &element);  // copies
        VariantClear(&element);
    }
}

/*
 * RefreshData: a 2 x n array, row 0 the topic IDs and row 1 their values,
 * one column per topic changed since the last refresh, each with its latest
 * value:   [0,0] VT_I4 7      [0,1] VT_I4 9
 *          [1,0] VT_R8 12.5   [1,1] VT_BSTR "東京"
 */
HRESULT RtdServer::RefreshData(long *count, SAFEARRAY **changes)
{
    if (!count || !changes)
        return E_POINTER;
    *changes = nullptr;
    SAFEARRAYBOUND bounds[2];
    bounds[0].lLbound = 0;
    bounds[0].cElements = 2;
    bounds[1].lLbound = 0;
    bounds[1].cElements = static_cast<ULONG>(table->changed.size());
    RefreshArray out = {SafeArrayCreate(VT_VARIANT, 2, bounds)};
    if (!out.array)
        return E_OUTOFMEMORY;
    // Nothing between here and the end calls out: the set cannot change.
    *count = static_cast<long>(refresh_topics(table, put_change, &out));
    *changes = out.array;
    return S_OK;
}

class ClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Static, and alive as long as the process.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (rtd_state.closing)
            return CO_E_SERVER_STOPPING;
        RtdServer *server = new (std::nothrow) RtdServer();
        if (!server)
            return E_OUTOFMEMORY;
        server->table = new_topic_table(server);
        if (!server->table) {
            server->Release();
            return E_OUTOFMEMORY;
        }
        HRESULT result = server->QueryInterface(iid, object);
        server->Release();
        return result;
    }
    // The program runs on after its last server object: it serves DDE too.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

static ClassFactory class_factory;

/*
 * The message filter, for the window's thread: calls from Excel are always
 * taken, also while the program waits for its own call to Excel (its
 * Disconnect at the end, or UpdateNotify when the notifier could not
 * start); a call Excel rejects as busy fails at once; a call Excel leaves
 * unanswered is cancelled after CALL_LIMIT_MS, so a hung workbook cannot
 * hold up the program for ever (Wine 8 asks the filter but keeps waiting:
 * see the README).
 */
class MessageFilter : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
            *object = static_cast<IMessageFilter *>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override
    {
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD waited, DWORD) override
    {
        return waited > CALL_LIMIT_MS ? PENDINGMSG_CANCELCALL : PENDINGMSG_WAITDEFPROCESS;
    }
};

static MessageFilter message_filter;

/*
 * The notifier: UpdateNotify goes out from a thread of its own, in the
 * multithreaded apartment, which takes each Excel's callback from the
 * global interface table. A workbook that does not answer then holds up
 * that thread only: the window's thread goes on serving the feed and the
 * DDE cells (Wine's wait in an outgoing call from it dispatches no socket
 * notifications and ignores the message filter's cancelling). Other
 * Excels' notifications wait behind a hung one.
 * A call that fails comes back as WM_RTD_NOTIFY_FAILED and is tried again
 * at the next tick. Without the thread the window's thread calls out itself.
 */
struct Notifier {
    IGlobalInterfaceTable *interfaces;
    HANDLE thread;
    HANDLE wake;                  // auto-reset: set when cookies wait or at the end
    HANDLE started;               // set once the thread is in its apartment
    CRITICAL_SECTION lock;        // guards what follows
    std::vector<DWORD> waiting;   // callback cookies to notify, each once
    std::vector<DWORD> revoking;  // callback cookies Excel is done with
    HWND window;                  // where failures are reported
    bool quit;
};

static Notifier notifier;

// The thread keeps its own reference to the table: it may still be in a
// call when the window's thread lets go of COM at the end.
static DWORD WINAPI notifier_main(void *parameter)
{
    IGlobalInterfaceTable *interfaces = static_cast<IGlobalInterfaceTable *>(parameter);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        interfaces->Release();
        return 1;
    }
    SetEvent(notifier.started);
    std::vector<DWORD> batch, done;
    for (;;) {
        WaitForSingleObject(notifier.wake, INFINITE);
        EnterCriticalSection(&notifier.lock);
        bool quit = notifier.quit;
        HWND window = notifier.window;
        batch.swap(notifier.waiting);
        done.swap(notifier.revoking);
        LeaveCriticalSection(&notifier.lock);
        if (quit)
            break;
        for (DWORD cookie : batch) {
            IRTDUpdateEvent *events = nullptr;
            HRESULT result = interfaces->GetInterfaceFromGlobal(cookie, IID_IRTDUpdateEvent,
                                                                reinterpret_cast<void **>(&events));
            if (SUCCEEDED(result)) {
                result = events->UpdateNotify();
                events->Release();
            }
            if (FAILED(result))
                PostMessageA(window, WM_RTD_NOTIFY_FAILED, 0, static_cast<LPARAM>(cookie));
        }
        // Letting go of a callback may call into its Excel, too.
        for (DWORD cookie : done)
            interfaces->RevokeInterfaceFromGlobal(cookie);
        batch.clear();
        done.clear();
    }
    interfaces->Release();
    CoUninitialize();
    return 0;
}

static void start_notifier()
{
    if (FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IGlobalInterfaceTable, reinterpret_cast<void **>(&notifier.interfaces))))
        return;
    InitializeCriticalSection(&notifier.lock);
    notifier.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    notifier.started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!notifier.wake || !notifier.started)
        return;
    notifier.interfaces->AddRef();
    HANDLE thread = CreateThread(nullptr, 0, notifier_main, notifier.interfaces, 0, nullptr);
    if (!thread) {
        notifier.interfaces->Release();
        return;
    }
    // Only a thread in its apartment takes calls; one that could not enter
    // it has ended, and the window's thread then calls out itself.
    HANDLE either[2] = {notifier.started, thread};
    if (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0)
        notifier.thread = thread;
    else
        CloseHandle(thread);
}

// Hands a callback cookie to the notifier, to notify or to revoke; false
// when no notifier takes it.
static bool queue_for_notifier(std::vector<DWORD> &queue, DWORD cookie)
{
    if (!notifier.thread || !cookie)
        return false;
    bool queued = true;
    EnterCriticalSection(&notifier.lock);
    try {
        if (std::find(queue.begin(), queue.end(), cookie) == queue.end())
            queue.push_back(cookie);
    } catch (const std::bad_alloc &) {
        queued = false;
    }
    notifier.window = rtd_state.window;
    LeaveCriticalSection(&notifier.lock);
    if (queued)
        SetEvent(notifier.wake);
    return queued;
}

// The thread is not waited for: it may be inside a call that never returns.
static void stop_notifier()
{
    if (!notifier.thread)
        return;
    EnterCriticalSection(&notifier.lock);
    notifier.quit = true;
    LeaveCriticalSection(&notifier.lock);
    SetEvent(notifier.wake);
    CloseHandle(notifier.thread);
    notifier.thread = nullptr;
}

void RtdServer::set_callback(IRTDUpdateEvent *events)
{
    if (events)
        events->AddRef();
    // At the end the cookie is left to the process's exit.
    queue_for_notifier(notifier.revoking, callback_cookie);
    callback_cookie = 0;
    if (callback)
        callback->Release();
    callback = events;
    if (events && notifier.thread &&
        FAILED(notifier.interfaces->RegisterInterfaceInGlobal(events, IID_IRTDUpdateEvent, &callback_cookie)))
        callback_cookie = 0;
}

// Whether a registered type library loads here and describes iid: Excel's
// on a machine with a 64-bit Excel, or ours from an earlier start.
static bool library_loads(const char *library, unsigned major, unsigned minor, const char *iid)
{
    WCHAR text[40];
    GUID library_id, interface_id;
    MultiByteToWideChar(CP_ACP, 0, library, -1, text, 40);
    if (FAILED(CLSIDFromString(text, &library_id)))
        return false;
    MultiByteToWideChar(CP_ACP, 0, iid, -1, text, 40);
    if (FAILED(CLSIDFromString(text, &interface_id)))
        return false;
    ITypeLib *loaded = nullptr;
    if (FAILED(LoadRegTypeLib(library_id, static_cast<WORD>(major), static_cast<WORD>(minor), 0, &loaded)))
        return false;
    ITypeInfo *info = nullptr;
    bool described = SUCCEEDED(loaded->GetTypeInfoOfGuid(interface_id, &info));
    if (info)
        info->Release();
    loaded->Release();
    return described;
}

bool start_rtd_server()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return false;
    com_initialised = true;
    CoRegisterMessageFilter(&message_filter, nullptr);
    start_notifier();

    DWORD length = GetModuleFileNameW(nullptr, module_path, PATH_ROOM);
    if (length > 0 && length < PATH_ROOM &&
        SUCCEEDED(LoadTypeLibEx(module_path, REGKIND_NONE, &type_library)))
        type_library->GetTypeInfoOfGuid(IID_IRtdServer, &server_type_info);
    // An older version registered the library in both views, which points a
    // 32-bit Excel's RTD at a library for 64-bit programs: that goes. Ours
    // goes only into the 64-bit view, and never over one that works.
    remove_rtd_interfaces(HKEY_CURRENT_USER, KEY_WOW64_32KEY);
    remove_rtd_interfaces(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
    if (type_library)
        register_rtd_interfaces(HKEY_CURRENT_USER, module_path, library_loads);

    return SUCCEEDED(CoRegisterClassObject(CLSID_Quote, &class_factory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &class_cookie));
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
    RtdServer *server = static_cast<RtdServer *>(table->owner);
    IRTDUpdateEvent *callback = server->callback;
    if (!callback)
        return true;  // no Excel to tell (yet, or any more)
    if (queue_for_notifier(notifier.waiting, server->callback_cookie))
        return true;
    // ServerTerminate may arrive inside the call and let go of it.
    callback->AddRef();
    HRESULT result = callback->UpdateNotify();
    callback->Release();
    return SUCCEEDED(result);
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
        if (static_cast<RtdServer *>(table->owner)->callback_cookie == static_cast<DWORD>(which))
            table->notified = false;
    }
}

void stop_rtd_server()
{
    if (stopped || !com_initialised)
        return;
    stopped = true;
    rtd_state.closing = true;
    std::vector<RtdServer *> servers = hold_servers();
    for (RtdServer *server : servers) {
        IRTDUpdateEvent *callback = server->callback;
        if (!callback)
            continue;
        callback->AddRef();
        callback->Disconnect();
        callback->Release();
    }
    stop_notifier();
    release_all(servers);
    if (class_cookie)
        CoRevokeClassObject(class_cookie);
    class_cookie = 0;
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
    if (notifier.interfaces)
        notifier.interfaces->Release();
    notifier.interfaces = nullptr;
    CoRegisterMessageFilter(nullptr, nullptr);
    CoUninitialize();
    com_initialised = false;
}
