// lookalike: another program's window that shares the program's window
// class, for the installer's tests. It prints "ready" once its window is
// up and "WM_CLOSE" at every WM_CLOSE, which it ignores; it runs until it
// is ended from outside.
//
//   lookalike CLASS

#include <windows.h>

#include <cstdio>

static LRESULT CALLBACK lookalike_proc(HWND window, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_CLOSE) {
        printf("WM_CLOSE\n");
        fflush(stdout);
        return 0;
    }
    return DefWindowProcA(window, msg, wparam, lparam);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: lookalike CLASS\n");
        return 64;
    }
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = lookalike_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = argv[1];
    if (!RegisterClassA(&window_class) ||
        !CreateWindowExA(0, argv[1], "lookalike", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                         window_class.hInstance, nullptr)) {
        fprintf(stderr, "lookalike: no window (error %lu)\n", GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}
