#include "app/main_window.h"
#include "app/resource.h"
#include "app/startup.h"
#include "core/registry.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    register_main_window_class(instance);
    if (!init_instance(instance, show_command))
        return 0;
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_MAIN_MENU));

    MSG message = {};
    BOOL got;
    // GetMessageA gives -1 on an error: that ends the loop too, rather than spinning.
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    // Deleted only now: notifications queued before the quit message may still
    // have been dispatched after shutdown_app.
    DeleteCriticalSection(&registry_lock);
    return got == 0 ? static_cast<int>(message.wParam) : 0;
}
