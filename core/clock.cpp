#include "core/clock.h"

ClockState clock_state;

// The precise call exists from Windows 8 on; the program also runs where it
// does not, so it is looked up rather than imported.
static void resolve_precise_clock()
{
    clock_state.resolved = true;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    // Through void (*)(), which converts to any function pointer type without a warning.
    clock_state.precise = reinterpret_cast<void(WINAPI *)(LPFILETIME)>(reinterpret_cast<void (*)()>(found));
}

uint64_t read_system_time()
{
    if (!clock_state.resolved)
        resolve_precise_clock();
    FILETIME now;
    if (clock_state.precise)
        clock_state.precise(&now);
    else
        GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

bool local_time_of(uint64_t system_time, SYSTEMTIME *local)
{
    if (system_time == 0)
        return false;
    if (system_time == clock_state.converted) {
        *local = clock_state.local;
        return true;
    }
    FILETIME instant;
    instant.dwLowDateTime = static_cast<DWORD>(system_time & 0xFFFFFFFFu);
    instant.dwHighDateTime = static_cast<DWORD>(system_time >> 32);
    SYSTEMTIME universal;
    if (!FileTimeToSystemTime(&instant, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, local))
        return false;
    clock_state.converted = system_time;
    clock_state.local = *local;
    return true;
}
