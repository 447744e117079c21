// The class object that makes a server object per CoCreateInstance.
#include "rtd/rtd_class_factory.h"

#include "rtd/rtd_server_object.h"

#include <new>

static DWORD class_cookie;

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

bool register_class_object()
{
    return SUCCEEDED(CoRegisterClassObject(CLSID_Quote, &class_factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                           &class_cookie));
}

void revoke_class_object()
{
    if (class_cookie)
        CoRevokeClassObject(class_cookie);
    class_cookie = 0;
}
