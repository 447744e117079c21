// What every RTD client of the project (rtdwatch, the benchmark's
// rtd_count) does alike as Excel: the topic strings handed to ConnectData,
// and the parts of the IRTDUpdateEvent callback that do nothing.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "vantrel_rtd.h"

// A one-dimensional SAFEARRAY of VT_BSTR variants, as Excel passes the
// strings of =RTD(); null when it cannot be made.
inline SAFEARRAY *topic_string_array(const std::vector<std::wstring> &strings)
{
    SAFEARRAYBOUND bound = {static_cast<ULONG>(strings.size()), 0};
    SAFEARRAY *array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    for (LONG i = 0; array && i < static_cast<LONG>(strings.size()); i++) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocStringLen(strings[i].data(), static_cast<UINT>(strings[i].size()));
        SafeArrayPutElement(array, &i, &v);
        VariantClear(&v);
    }
    return array;
}

// The callback's identity and IDispatch: the server calls by the vtable,
// as it calls Excel's.
class UpdateEventBase : public IRTDUpdateEvent {
public:
    virtual ~UpdateEventBase() {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IRTDUpdateEvent) {
            *object = static_cast<IRTDUpdateEvent *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *) override
    {
        return E_NOTIMPL;
    }
};
