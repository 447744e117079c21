// The server object: one per CoCreateInstance, that is one per Excel (each
// numbers its own topics), with IDispatch through the type library embedded
// in the program. A thin shell over the topic table (rtd/topic_table.h): it
// unpacks Excel's VARIANTs and SAFEARRAYs and packs the answers.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "rtd/rtd_notifier.h"
#include "rtd/topic_table.h"
#include "vantrel_rtd.h"

// IRtdServer's type information, for IDispatch; null when the embedded
// library did not load (IDispatch then answers E_NOTIMPL, the vtable works).
extern ITypeInfo *server_type_info;

/*
 * Excel calls ServerStart with its callback, then ConnectData per topic,
 * RefreshData after each UpdateNotify (at most once per throttle interval),
 * DisconnectData, Heartbeat, and ServerTerminate at the end.
 */
class RtdServer final : public IRtdServer {
public:
    TopicTable *table = nullptr;   // set by the class factory; never null after it
    Notifier *notifier = nullptr;  // from ServerStart to ServerTerminate: the calls out to this Excel

    ~RtdServer();
    // Ends the calls out to this Excel, if any.
    void let_go_of_excel();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo **info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *parameters, VARIANT *result,
                                     EXCEPINFO *exception, UINT *argument_error) override;

    HRESULT STDMETHODCALLTYPE ServerStart(IRTDUpdateEvent *events, long *result) override;
    HRESULT STDMETHODCALLTYPE ConnectData(long id, SAFEARRAY **strings, VARIANT_BOOL *get_new_values,
                                          VARIANT *value) override;
    HRESULT STDMETHODCALLTYPE RefreshData(long *count, SAFEARRAY **changes) override;
    HRESULT STDMETHODCALLTYPE DisconnectData(long id) override;
    HRESULT STDMETHODCALLTYPE Heartbeat(long *result) override;
    HRESULT STDMETHODCALLTYPE ServerTerminate() override;

private:
    LONG references = 1;
};
