#include "app/main_window.h"
#include "app/resource.h"
#include "app/startup.h"
#include "core/log.h"
#include "core/log_file.h"
#include "core/registry.h"
#include "rtd/rtd_server.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show_command)
{
    log_start(how_started(command_line));
    register_main_window_class(instance);
    if (!init_instance(instance, show_command, is_com_start(command_line))) {
        end_rtd_com();
        log_event("End: start-up failed");
        write_log();
        return 0;
    }
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
    // COM lets go of the server objects still held by clients, which
    // forget their topics under the lock.
    end_rtd_com();
    // Deleted only now: notifications queued before the quit message may still
    // have been dispatched after shutdown_app.
    DeleteCriticalSection(&registry_lock);
    write_log();
    return got == 0 ? static_cast<int>(message.wParam) : 0;
}
