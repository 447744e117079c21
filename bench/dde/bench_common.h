// What the benchmark's DDE server and DDE client share: the clock that
// stamps values and the list of items, one a line.
#pragma once

#include <windows.h>

#include "items_file.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

// Microseconds since 1970 on the machine's wall clock: a Wine process and a
// Linux process (the feed client) read the same clock, so a value stamped by
// one can be aged by the other.
inline int64_t now_us()
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    const int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const int64_t unix_epoch_ticks = 116444736000000000LL; // 1601 to 1970 in 100 ns
    return (ticks - unix_epoch_ticks) / 10;
}

// Reads "--name value" pairs into *values; false when an argument is not
// one of `names` or has no value.
inline bool parse_options(int argc, char **argv, const std::vector<std::string> &names,
                          std::map<std::string, std::string> *values)
{
    for (int i = 1; i < argc; i += 2) {
        bool known = false;
        for (const std::string &name : names)
            known = known || name == argv[i];
        if (!known || i + 1 >= argc)
            return false;
        (*values)[argv[i]] = argv[i + 1];
    }
    return true;
}

// Dispatches messages, the DDE library's included, until done() holds;
// false when the deadline (GetTickCount64) passes first.
inline bool pump_until(bool (*done)(), ULONGLONG deadline)
{
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now < 200 ? deadline - now : 200),
                                  QS_ALLINPUT);
        MSG m;
        while (!done() && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
    }
    return true;
}
