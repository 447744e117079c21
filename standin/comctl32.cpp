// What the Links window asks of comctl32, user32 and kernel32 beyond the
// main window. The native tests open no Links window: the common controls
// are "loaded" but register no list view class, so a list view is never
// made, and the clipboard takes memory without anyone reading it.
#include "state.h"

#include <cstdlib>

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX *controls)
{
    return controls && controls->dwSize == sizeof *controls;
}

BOOL MoveWindow(HWND, int, int, int, int, BOOL)
{
    return TRUE;
}

DWORD GetSysColor(int)
{
    return 0x808080;
}

short GetKeyState(int)
{
    return 0;
}

// Moveable memory as fixed memory: the handle is the block.
HGLOBAL GlobalAlloc(UINT, SIZE_T bytes)
{
    return std::malloc(bytes ? bytes : 1);
}

LPVOID GlobalLock(HGLOBAL memory)
{
    return memory;
}

BOOL GlobalUnlock(HGLOBAL)
{
    return FALSE;  // the lock count reached 0
}

HGLOBAL GlobalFree(HGLOBAL memory)
{
    std::free(memory);
    return nullptr;
}

static HANDLE clipboard_data;

BOOL OpenClipboard(HWND)
{
    return TRUE;
}

BOOL EmptyClipboard(void)
{
    std::free(clipboard_data);
    clipboard_data = nullptr;
    return TRUE;
}

HANDLE SetClipboardData(UINT, HANDLE data)
{
    std::free(clipboard_data);
    clipboard_data = data;
    return data;
}

BOOL CloseClipboard(void)
{
    return TRUE;
}
