// kernel32: critical sections with misuse checks, the module handle and
// ExitProcess; also the process-wide state and reset().
#include "state.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
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
    return name ? nullptr : module_handle();
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
