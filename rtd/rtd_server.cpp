#include "rtd/rtd_server.h"

#include "core/log.h"
#include "rtd/rtd_notifier.h"
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
// At the end, the longest the program waits for every Excel together to
// answer Disconnect; it then ends whatever they do.
constexpr DWORD DISCONNECT_LIMIT_MS = 3000;
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
    Notifier *notifier = nullptr;  // from ServerStart to ServerTerminate: the calls out to this Excel

    ~RtdServer()
    {
        // The final Release: an Excel that crashed never called ServerTerminate.
        if (table)
            delete_topic_table(table);
        let_go_of_excel();
    }

    void let_go_of_excel()
    {
        if (notifier)
            end_notifier(notifier);
        notifier = nullptr;
    }

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
        let_go_of_excel();
        *result = 0;
        if (!events)
            return E_POINTER;
        // Without a thread of its own to call it from, this Excel is refused.
        notifier = start_notifier(events, rtd_state.window);
        if (!notifier)
            return E_OUTOFMEMORY;
        table->notified = false;
        *result = 1;
        log_event("RTD server started by an Excel");
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
        log_event("RTD server terminated by its Excel");
        forget_topics(table);
        let_go_of_excel();
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
 * feed answers), or #N/A for anything that is not an item (GetNewValues
 * true: Excel opening a workbook passes false, and would keep the saved
 * number as if it were live).
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
        *get_new_values = VARIANT_TRUE;
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
 * The message filter, for the window's thread, which never calls out to an
 * Excel itself (the notifiers do): calls from Excel are always taken, and a
 * call of COM's own that Excel rejects as busy fails at once rather than
 * being retried on the window's thread.
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
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

static MessageFilter message_filter;

bool start_rtd_server()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return false;
    com_initialised = true;
    CoRegisterMessageFilter(&message_filter, nullptr);

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
        register_rtd_interfaces(HKEY_CURRENT_USER, module_path, type_library_loads);

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
    CoRegisterMessageFilter(nullptr, nullptr);
    CoUninitialize();
    com_initialised = false;
}
