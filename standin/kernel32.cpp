// kernel32: critical sections with misuse checks, the module handles,
// ExitProcess and the clock; also the process-wide state and reset().
#include "state.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace standin {

Process &P()
{
    static Process process;
    return process;
}
void reset()
{
    P() = Process();
}
Script &script()
{
    return P().script;
}
Records &records()
{
    return P().records;
}

void misuse(const char *what)
{
    std::fprintf(stderr, "standin: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

bool same_text(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

LockInfo lock_info(const CRITICAL_SECTION *cs)
{
    auto it = P().sections.find(cs);
    if (it == P().sections.end())
        return {false, false, 0, 0, 0};
    const Section &s = it->second;
    return {s.initialised, s.deleted, s.depth, s.max_depth, s.spin};
}

HINSTANCE module_handle()
{
    return make_handle<HINSTANCE>(kModule, 0);
}

}  // namespace standin

using namespace standin;

static Section &live_section(LPCRITICAL_SECTION cs, const char *what)
{
    Section &s = P().sections[cs];
    if (!s.initialised || s.deleted)
        misuse(what);
    return s;
}

static BOOL init_section(LPCRITICAL_SECTION cs, DWORD spin_count, bool may_fail)
{
    P().records.critical_section_spins.push_back(spin_count);
    Section &s = P().sections[cs];
    if (s.initialised && !s.deleted)
        misuse("critical section initialised twice");
    if (may_fail && !P().script.init_critical_section)
        return FALSE;
    s = Section();
    s.initialised = true;
    s.spin = spin_count;
    *cs = CRITICAL_SECTION();
    return TRUE;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin_count)
{
    return init_section(cs, spin_count, true);
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    init_section(cs, 0, false);
}

void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    Section &s = live_section(cs, "EnterCriticalSection on a section never initialised or already deleted");
    if (++s.depth > s.max_depth)
        s.max_depth = s.depth;
    cs->RecursionCount = s.depth;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    Section &s = live_section(cs, "LeaveCriticalSection on a section never initialised or already deleted");
    if (s.depth == 0)
        misuse("LeaveCriticalSection on a section that is not held");
    cs->RecursionCount = --s.depth;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    Section &s = live_section(cs, "DeleteCriticalSection on a section never initialised or already deleted");
    if (s.depth > 0)
        misuse("DeleteCriticalSection on a section that is held");
    s.deleted = true;
}

HMODULE GetModuleHandleA(LPCSTR name)
{
    if (!name)
        return module_handle();
    return strcasecmp(name, "kernel32.dll") == 0 ? make_handle<HMODULE>(kKernel32, 0) : nullptr;
}

static void put_file_time(ULONGLONG ticks, LPFILETIME time)
{
    time->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

static void WINAPI precise_system_time(LPFILETIME time)
{
    P().records.precise_clock_reads++;
    put_file_time(P().script.system_time, time);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    if (module == make_handle<HMODULE>(kKernel32, 0) && P().script.precise_clock &&
        std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(precise_system_time));
    return nullptr;
}

void GetSystemTimeAsFileTime(LPFILETIME time)
{
    P().records.coarse_clock_reads++;
    put_file_time(P().script.system_time, time);
}

// The calendar through the C library's UTC calls, independent of the
// program's own arithmetic.
constexpr long long UNIX_EPOCH_SECONDS = 11644473600LL;  // 1601-01-01 to 1970-01-01

static void put_calendar(long long unix_seconds, WORD ms, LPSYSTEMTIME out)
{
    time_t t = static_cast<time_t>(unix_seconds);
    struct tm parts;
    gmtime_r(&t, &parts);
    out->wYear = static_cast<WORD>(parts.tm_year + 1900);
    out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out->wDay = static_cast<WORD>(parts.tm_mday);
    out->wHour = static_cast<WORD>(parts.tm_hour);
    out->wMinute = static_cast<WORD>(parts.tm_min);
    out->wSecond = static_cast<WORD>(parts.tm_sec);
    out->wMilliseconds = ms;
}

static long long unix_seconds_of(const SYSTEMTIME &time)
{
    struct tm parts = {};
    parts.tm_year = time.wYear - 1900;
    parts.tm_mon = time.wMonth - 1;
    parts.tm_mday = time.wDay;
    parts.tm_hour = time.wHour;
    parts.tm_min = time.wMinute;
    parts.tm_sec = time.wSecond;
    return static_cast<long long>(timegm(&parts));
}

// Like Windows: times from 0x8000000000000000 on are refused.
BOOL FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time)
{
    ULONGLONG ticks = static_cast<ULONGLONG>(file_time->dwHighDateTime) << 32 | file_time->dwLowDateTime;
    if (ticks >= 0x8000000000000000ULL)
        return FALSE;
    long long seconds = static_cast<long long>(ticks / 10000000) - UNIX_EPOCH_SECONDS;
    put_calendar(seconds, static_cast<WORD>(ticks / 10000 % 1000), system_time);
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *universal,
                                     LPSYSTEMTIME local)
{
    if (zone)
        misuse("SystemTimeToTzSpecificLocalTime: the stand-in has only the current time zone");
    P().records.local_conversions++;
    long long seconds = unix_seconds_of(*universal);
    ULONGLONG ticks = static_cast<ULONGLONG>(seconds + UNIX_EPOCH_SECONDS) * 10000000 +
                      static_cast<ULONGLONG>(universal->wMilliseconds) * 10000;
    LONG offset = P().script.utc_offset_minutes ? P().script.utc_offset_minutes(ticks) : 0;
    put_calendar(seconds + offset * 60LL, universal->wMilliseconds, local);
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR path, DWORD size)
{
    const std::u16string &module = P().script.module_path;
    if (size == 0)
        return 0;
    DWORD length = module.size() < size ? static_cast<DWORD>(module.size()) : size - 1;
    std::copy(module.begin(), module.begin() + length, path);
    path[length] = 0;
    return module.size() < size ? length : size;
}

void GetStartupInfoA(LPSTARTUPINFOA info)
{
    *info = STARTUPINFOA();
    info->cb = sizeof *info;
    info->dwFlags = P().script.startup_flags;
    info->wShowWindow = P().script.startup_show;
}

ULONGLONG GetTickCount64(void)
{
    return P().script.tick_count;
}

void ExitProcess(UINT code)
{
    throw ProcessExit(code);
}

void Sleep(DWORD)
{
}
