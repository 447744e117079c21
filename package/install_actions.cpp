// The installer's custom action (package/vantrel.wxs), kept in its Binary
// table and called by name in the installing user's context:
//
//   CloseRunningCopies  before files are replaced or removed: asks every copy
//                       of the program running in this session to close, as
//                       another program would (WM_CLOSE to its main window),
//                       and waits until each has ended.

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace {

// The window class of the program's main window.
const char MAIN_WINDOW_CLASS[] = "VANTREL";
// A copy normally ends within a tenth of a second of WM_CLOSE.
const DWORD CLOSE_LIMIT_MS = 20000;

// Writes a line to the installer's log.
void log_line(MSIHANDLE install, const char *text)
{
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringA(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

} // namespace

// Returns ERROR_SUCCESS once no copy runs any more, ERROR_INSTALL_FAILURE when
// one is still running after CLOSE_LIMIT_MS: the installer then stops rather
// than leave the program's files in use, and the copy is never killed.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningCopies(MSIHANDLE install)
{
    HANDLE copies[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    HWND window = nullptr;
    while (count < MAXIMUM_WAIT_OBJECTS
           && (window = FindWindowExA(nullptr, window, MAIN_WINDOW_CLASS, nullptr)) != nullptr) {
        DWORD process_id = 0;
        GetWindowThreadProcessId(window, &process_id);
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
        if (!process)
            continue;
        PostMessageA(window, WM_CLOSE, 0, 0);
        copies[count++] = process;
    }
    if (count == 0)
        return ERROR_SUCCESS;

    DWORD waited = WaitForMultipleObjects(count, copies, TRUE, CLOSE_LIMIT_MS);
    for (DWORD i = 0; i < count; ++i)
        CloseHandle(copies[i]);
    if (waited == WAIT_TIMEOUT || waited == WAIT_FAILED) {
        log_line(install, "Vantrel: a running copy did not close; close it and try again");
        return ERROR_INSTALL_FAILURE;
    }
    log_line(install, "Vantrel: closed every running copy");
    return ERROR_SUCCESS;
}
