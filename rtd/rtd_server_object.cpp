// The server object per Excel: IUnknown, IDispatch and IRtdServer over a topic table.
#include "rtd/rtd_server_object.h"

#include "core/log.h"

// What Excel shows as #N/A.
constexpr SCODE EXCEL_NA = static_cast<SCODE>(0x800A07FA);

ITypeInfo *server_type_info;

RtdServer::~RtdServer()
{
    // The final Release: an Excel that crashed never called ServerTerminate.
    if (table)
        delete_topic_table(table);
    let_go_of_excel();
}

void RtdServer::let_go_of_excel()
{
    if (notifier)
        end_notifier(notifier);
    notifier = nullptr;
}

HRESULT RtdServer::QueryInterface(REFIID iid, void **object)
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

ULONG RtdServer::AddRef()
{
    return static_cast<ULONG>(++references);
}

ULONG RtdServer::Release()
{
    LONG left = --references;
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

// IDispatch, always through the embedded type library.
HRESULT RtdServer::GetTypeInfoCount(UINT *count)
{
    if (!count)
        return E_POINTER;
    *count = server_type_info ? 1 : 0;
    return S_OK;
}

HRESULT RtdServer::GetTypeInfo(UINT index, LCID, ITypeInfo **info)
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

HRESULT RtdServer::GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids)
{
    return server_type_info ? DispGetIDsOfNames(server_type_info, names, count, ids) : E_NOTIMPL;
}

HRESULT RtdServer::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *parameters, VARIANT *result,
                          EXCEPINFO *exception, UINT *argument_error)
{
    if (!server_type_info)
        return E_NOTIMPL;
    return DispInvoke(static_cast<IRtdServer *>(this), server_type_info, id, flags, parameters, result, exception,
                      argument_error);
}

HRESULT RtdServer::ServerStart(IRTDUpdateEvent *events, long *result)
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

HRESULT RtdServer::DisconnectData(long id)
{
    disconnect_topic(table, id);
    return S_OK;
}

HRESULT RtdServer::Heartbeat(long *result)
{
    if (!result)
        return E_POINTER;
    *result = 1;
    return S_OK;
}

HRESULT RtdServer::ServerTerminate()
{
    log_event("RTD server terminated by its Excel");
    forget_topics(table);
    let_go_of_excel();
    return S_OK;
}

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
    // Nothing between here and the end calls out: the set cannot change
    // (docs/one-thread.md: com).
    *count = static_cast<long>(refresh_topics(table, put_change, &out));
    *changes = out.array;
    return S_OK;
}
