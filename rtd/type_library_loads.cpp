// Whether a registered type library loads and describes an interface, as
// COM's marshaler will need it: the check behind interface_usable, for the
// program and for the per-machine installer (Windows builds only).
#include "rtd/rtd_registration.h"

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

bool type_library_loads(const char *library, unsigned major, unsigned minor, const char *iid)
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
