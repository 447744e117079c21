// The installer's custom action (package/vantrel.wxs), kept in its Binary
// table and called by name in the installing user's context:
//
//   CloseRunningCopies  before files are replaced or removed: asks every copy
//                       of the program running in this session to close, as
//                       another program would (WM_CLOSE to its main window),
//                       and waits until each has ended. Sets
//                       VANTREL_WAS_RUNNING to 1 when it closed one, so that
//                       the installer starts the program again at the end.
//   RemoveRtdTypeLibrary  at uninstall: deletes the two RTD interfaces'
//                       keys where they name the program's type library, and
//                       the library's own key, so that no RTD server is left
//                       marshaled through a program that is gone.
//   RegisterRtdInterfaces  per-machine install, deferred, as the system
//                       account: the two RTD interfaces' keys under
//                       HKEY_LOCAL_MACHINE naming the installed vantrel.exe
//                       (CustomActionData), only where Excel's are not
//                       usable, as the program does for the user.

#include "rtd/rtd_registration.h"

#include <windows.h>

#include <msi.h>
#include <objbase.h>
#include <msiquery.h>

#include <cwchar>
#include <initializer_list>

namespace {

// The window class of the program's main window. Any program may register
// a class of that name: only a window whose process runs an image of the
// program's file name is asked to close.
const wchar_t MAIN_WINDOW_CLASS[] = L"VANTREL";
const wchar_t PROGRAM_FILE_NAME[] = L"vantrel.exe";
// A copy normally ends within a tenth of a second of WM_CLOSE.
const DWORD CLOSE_LIMIT_MS = 20000;
// Shown in a UI install when a copy stays; logged under /qn. No brackets or
// braces: the installer formats the text.
const wchar_t STILL_RUNNING[] =
    L"Quellvarden Vantrel is still running and did not close. Close it from its tray icon "
    L"(right-click the icon, then Close) and click Retry, or Cancel to stop the installation.";

// Writes a line to the installer's log; [1] in `text` stands for `detail`,
// which is not formatted itself.
void log_line(MSIHANDLE install, const wchar_t *text, const wchar_t *detail = L"")
{
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, text);
    MsiRecordSetStringW(record, 1, detail);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

// Which program a window of the program's class belongs to.
enum class Owner { PROGRAM, OTHER, UNKNOWN };

// The owner of the window's process, `process` open on it for waiting when
// it is the program; `image` receives the image's full path, or why it is
// unknown.
Owner find_owner(HWND window, HANDLE *process, wchar_t *image, DWORD size)
{
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    *process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
    if (!*process) {
        swprintf(image, size, L"a process that cannot be opened (error %lu)", GetLastError());
        return Owner::UNKNOWN;
    }
    DWORD length = size;
    if (!QueryFullProcessImageNameW(*process, 0, image, &length)) {
        swprintf(image, size, L"a process whose image cannot be read (error %lu)", GetLastError());
        CloseHandle(*process);
        return Owner::UNKNOWN;
    }
    const wchar_t *name = wcsrchr(image, L'\\');
    if (lstrcmpiW(name ? name + 1 : image, PROGRAM_FILE_NAME) == 0)
        return Owner::PROGRAM;
    CloseHandle(*process);
    return Owner::OTHER;
}

// The copies asked to close, to wait for.
struct Copies {
    HANDLE processes[MAXIMUM_WAIT_OBJECTS];
    DWORD count;
    // A window of the class whose program could not be told: it may be a
    // copy that cannot be waited for.
    bool unknown;
};

// Posts WM_CLOSE to every copy's main window. Other programs' windows of
// the class are left alone.
void ask_copies_to_close(MSIHANDLE install, Copies *copies)
{
    // Long enough for any path Windows allows.
    static wchar_t image[32768];
    copies->count = 0;
    copies->unknown = false;
    HWND window = nullptr;
    while (copies->count < MAXIMUM_WAIT_OBJECTS &&
           (window = FindWindowExW(nullptr, window, MAIN_WINDOW_CLASS, nullptr)) != nullptr) {
        HANDLE process;
        switch (find_owner(window, &process, image, sizeof image / sizeof *image)) {
        case Owner::OTHER:
            log_line(install, L"Vantrel: left alone a VANTREL window of [1]", image);
            break;
        case Owner::UNKNOWN:
            if (IsWindow(window)) {
                log_line(install, L"Vantrel: cannot tell whose VANTREL window this is: [1]", image);
                copies->unknown = true;
            }
            break;
        case Owner::PROGRAM:
            // A copy that could not be asked is still waited for: it may
            // end by itself, and otherwise the user is told.
            if (!PostMessageW(window, WM_CLOSE, 0, 0))
                log_line(install, L"Vantrel: could not ask [1] to close", image);
            copies->processes[copies->count++] = process;
            break;
        }
    }
}

// The user's answer to STILL_RUNNING: IDRETRY or IDCANCEL in a UI install,
// 0 under /qn, where the installer logs the text.
int tell_still_running(MSIHANDLE install)
{
    PMSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringW(record, 0, STILL_RUNNING);
    return MsiProcessMessage(install, INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_RETRYCANCEL), record);
}

}  // namespace

// Returns ERROR_SUCCESS once no copy runs any more. When one is still running
// after CLOSE_LIMIT_MS, or a window of the class belongs to a program that
// cannot be told, the user may close it and retry; otherwise the
// installer stops (ERROR_INSTALL_USEREXIT on Cancel, ERROR_INSTALL_FAILURE
// without a UI) rather than leave the program's files in use. A copy is
// never killed.
extern "C" __declspec(dllexport) UINT __stdcall CloseRunningCopies(MSIHANDLE install)
{
    bool closed_one = false;
    for (;;) {
        Copies copies;
        ask_copies_to_close(install, &copies);
        const DWORD waited =
            copies.count ? WaitForMultipleObjects(copies.count, copies.processes, TRUE, CLOSE_LIMIT_MS)
                         : WAIT_OBJECT_0;
        for (DWORD i = 0; i < copies.count; ++i)
            CloseHandle(copies.processes[i]);
        closed_one = closed_one || copies.count > 0;
        const bool stayed = waited == WAIT_TIMEOUT || waited == WAIT_FAILED;
        if (!stayed && !copies.unknown)
            break;
        if (stayed)
            log_line(install, L"Vantrel: a running copy did not close in time");
        const int answer = tell_still_running(install);
        if (answer == IDCANCEL)
            return ERROR_INSTALL_USEREXIT;
        if (answer != IDRETRY)
            return ERROR_INSTALL_FAILURE;
    }
    if (closed_one)
        log_line(install, L"Vantrel: closed every running copy");
    MsiSetPropertyW(install, L"VANTREL_WAS_RUNNING", closed_one ? L"1" : L"");
    return ERROR_SUCCESS;
}

// Removes what registering the type library wrote, wherever a version of
// the program wrote it: for the user (Windows) or the machine (Wine, and
// the per-machine package), in the 64-bit view and, from older versions, the
// 32-bit one. Keys that name another library (Excel's) stay. Never fails the
// uninstall.
extern "C" __declspec(dllexport) UINT __stdcall RemoveRtdTypeLibrary(MSIHANDLE install)
{
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        remove_rtd_interfaces(root, KEY_WOW64_64KEY);
        remove_rtd_interfaces(root, KEY_WOW64_32KEY);
    }
    log_line(install, L"Vantrel: removed the RTD server's type library");
    return ERROR_SUCCESS;
}

// Fails the install when a key cannot be written: an elevated Excel would
// then find no way to the program.
extern "C" __declspec(dllexport) UINT __stdcall RegisterRtdInterfaces(MSIHANDLE install)
{
    static wchar_t program[32768];
    DWORD length = sizeof program / sizeof *program;
    if (MsiGetPropertyW(install, L"CustomActionData", program, &length) != ERROR_SUCCESS || length == 0) {
        log_line(install, L"Vantrel: no path of vantrel.exe for the RTD interfaces");
        return ERROR_INSTALL_FAILURE;
    }
    bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    bool written = register_rtd_interfaces(HKEY_LOCAL_MACHINE, program, type_library_loads);
    if (com)
        CoUninitialize();
    log_line(install,
             written ? L"Vantrel: the RTD interfaces are usable for [1]"
                     : L"Vantrel: could not write the RTD interfaces' keys for [1]",
             program);
    return written ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
