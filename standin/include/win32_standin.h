// The Windows interface of the program, for the native (Linux) build: every
// type, constant and call the program uses, with the values and 64-bit
// layouts of the Windows SDK. windows.h, winsock2.h, ddeml.h and shellapi.h
// all resolve to this header; the functions live in standin/*.cpp and record
// what they are asked (standin/standin.h).
//
// Contract: the declarations match the Windows SDK closely enough that the
// program compiles unchanged against either. Integers have their Windows
// widths (DWORD, LONG and ULONG are 32-bit as on LLP64). The functions have
// C++ linkage, so they never clash with the C library's socket calls.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define CONST const
#define VOID void

typedef int BOOL;
typedef unsigned char BYTE, UCHAR;
typedef unsigned short WORD, USHORT, u_short, ATOM;
typedef unsigned char u_char;
typedef uint32_t DWORD, ULONG;
typedef int32_t LONG;
typedef int INT;
typedef unsigned int UINT, u_int;
typedef char CHAR;
typedef char16_t WCHAR;  // UTF-16 code unit, as on Windows
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef BOOL *LPBOOL;
typedef int64_t INT_PTR, LONG_PTR;
typedef uint64_t UINT_PTR, ULONG_PTR, DWORD_PTR, SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM, LRESULT;
typedef void *PVOID, *LPVOID, *HANDLE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef UINT_PTR SOCKET;
typedef uint64_t ULONGLONG;

#define TRUE 1
#define FALSE 0

#define DECLARE_HANDLE(name)                                                                                 \
    struct name##__ {                                                                                        \
        int unused;                                                                                          \
    };                                                                                                       \
    typedef struct name##__ *name
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
DECLARE_HANDLE(HICON);
DECLARE_HANDLE(HMENU);
DECLARE_HANDLE(HACCEL);
DECLARE_HANDLE(HBRUSH);
DECLARE_HANDLE(HDC);
DECLARE_HANDLE(HFONT);
DECLARE_HANDLE(HSZ);
DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HCONV);
DECLARE_HANDLE(HDDEDATA);
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef void *HGDIOBJ;

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b)                                                                                       \
    ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#define MAKELONG(a, b)                                                                                       \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA

typedef struct tagPOINT {
    LONG x, y;
} POINT, *LPPOINT;
typedef struct tagRECT {
    LONG left, top, right, bottom;
} RECT, *LPRECT;
typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;
typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef VOID(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct tagWNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA;

typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved, lpDesktop, lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
#define STARTF_USESHOWWINDOW 0x00000001

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2, Data3;
    uint8_t Data4[8];
} GUID;

typedef struct _NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    CHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    CHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    HICON hBalloonIcon;
} NOTIFYICONDATAA, *PNOTIFYICONDATAA;

// The program sets cbSize to the x64 size without hBalloonIcon.
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == 32, "NOTIFYICONDATAA layout");
static_assert(offsetof(NOTIFYICONDATAA, szInfo) == 176, "NOTIFYICONDATAA layout");
static_assert(offsetof(NOTIFYICONDATAA, guidItem) == 504, "NOTIFYICONDATAA layout");
static_assert(offsetof(NOTIFYICONDATAA, hBalloonIcon) == 520, "NOTIFYICONDATAA layout");
static_assert(sizeof(NOTIFYICONDATAA) == 528, "NOTIFYICONDATAA layout");
static_assert(sizeof(WNDCLASSEXA) == 80 && sizeof(MSG) == 48, "user32 layouts");

// Windows Sockets.
typedef struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
} IN_ADDR;
#define s_addr S_un.S_addr
typedef struct sockaddr {
    USHORT sa_family;
    CHAR sa_data[14];
} SOCKADDR;
typedef struct sockaddr_in {
    USHORT sin_family;
    USHORT sin_port;
    struct in_addr sin_addr;
    CHAR sin_zero[8];
} SOCKADDR_IN;
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
    char szDescription[257];
    char szSystemStatus[129];
} WSADATA, *LPWSADATA;
typedef struct _WSABUF {
    ULONG len;
    CHAR *buf;
} WSABUF, *LPWSABUF;
typedef struct _WSAOVERLAPPED {
    ULONG_PTR Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} WSAOVERLAPPED, *LPWSAOVERLAPPED;
typedef void(CALLBACK *LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD, DWORD, LPWSAOVERLAPPED, DWORD);

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define INADDR_ANY ((ULONG)0x00000000)
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_NONE 0xffffffff
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20
#define WSAGETSELECTEVENT(l) LOWORD(l)
#define WSAGETSELECTERROR(l) HIWORD(l)
#define WSAMAKESELECTREPLY(event, error) MAKELONG(event, error)
#define WSA_IO_PENDING 997
#define WSAEINVAL 10022
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAEADDRINUSE 10048
#define WSAENETDOWN 10050
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAESHUTDOWN 10058
#define WSANOTINITIALISED 10093
#define SD_SEND 1

// Window messages and their parameters.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_ACTIVATE 0x0006
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_ERASEBKGND 0x0014
#define WM_SETICON 0x0080
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_LBUTTONDBLCLK 0x0203
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_RBUTTONDBLCLK 0x0206
#define WM_MBUTTONDOWN 0x0207
#define WM_MBUTTONUP 0x0208
#define WM_USER 0x0400
#define WA_INACTIVE 0
#define WA_ACTIVE 1
#define WA_CLICKACTIVE 2
#define ICON_SMALL 0
#define ICON_BIG 1
#define SC_SIZE 0xF000
#define SC_MOVE 0xF010
#define SC_MINIMIZE 0xF020
#define SC_MAXIMIZE 0xF030
#define SC_CLOSE 0xF060
#define SC_KEYMENU 0xF100
#define SC_RESTORE 0xF120

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CS_DBLCLKS 0x0008
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define CW_USEDEFAULT ((int)0x80000000)
#define COLOR_WINDOW 5
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define MB_ICONWARNING 0x00000030L
#define MB_DEFBUTTON2 0x00000100L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define MB_ICONERROR 0x00000010L

#define MF_STRING 0x00000000L
#define MF_POPUP 0x00000010L
#define MF_SEPARATOR 0x00000800L
#define TPM_LEFTBUTTON 0x0000L
#define TPM_RIGHTBUTTON 0x0002L
#define TPM_LEFTALIGN 0x0000L
#define TPM_TOPALIGN 0x0000L
#define TPM_NONOTIFY 0x0080L
#define TPM_RETURNCMD 0x0100L

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004
#define NIF_INFO 0x00000010
#define NIIF_WARNING 0x00000002

#define FW_DONTCARE 0
#define FW_NORMAL 400
#define ANSI_CHARSET 0
#define OUT_DEFAULT_PRECIS 0
#define CLIP_DEFAULT_PRECIS 0
#define PROOF_QUALITY 2
#define DEFAULT_PITCH 0
#define FF_DONTCARE (0 << 4)
#define CF_TEXT 1
#define CF_UNICODETEXT 13

// DDEML.
typedef HDDEDATA(CALLBACK *PFNCALLBACK)(UINT wType, UINT wFmt, HCONV hConv, HSZ hsz1, HSZ hsz2,
                                        HDDEDATA hData, ULONG_PTR dwData1, ULONG_PTR dwData2);
#define XTYPF_NOBLOCK 0x0002
#define XTYP_ERROR 0x8002
#define XTYP_ADVDATA 0x4010
#define XTYP_ADVREQ 0x2022
#define XTYP_ADVSTART 0x1030
#define XTYP_ADVSTOP 0x8040
#define XTYP_EXECUTE 0x4050
#define XTYP_CONNECT 0x1062
#define XTYP_CONNECT_CONFIRM 0x8072
#define XTYP_XACT_COMPLETE 0x8080
#define XTYP_POKE 0x4090
#define XTYP_REGISTER 0x80A2
#define XTYP_REQUEST 0x20B0
#define XTYP_DISCONNECT 0x80C2
#define XTYP_UNREGISTER 0x80D2
#define XTYP_WILDCONNECT 0x20E2
#define XTYP_MONITOR 0x80F2
#define DDE_FACK 0x8000
#define DDE_FNOTPROCESSED 0x0000
#define DNS_REGISTER 0x0001
#define DNS_UNREGISTER 0x0002
#define CP_WINANSI 1004
#define APPCLASS_STANDARD 0x00000000L
#define HDATA_APPOWNED 0x0001
#define DMLERR_NO_ERROR 0
#define DMLERR_DLL_NOT_INITIALIZED 0x4003
#define DMLERR_DLL_USAGE 0x4004
#define DMLERR_INVALIDPARAMETER 0x4006
#define DMLERR_NO_CONV_ESTABLISHED 0x400a
#define DMLERR_SYS_ERROR 0x400f

// kernel32: code pages
#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113

// advapi32: the registry
typedef HKEY *PHKEY;
typedef DWORD REGSAM;
typedef void *LPSECURITY_ATTRIBUTES;
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define DELETE 0x00010000L
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define REG_SZ 1
#define REG_DWORD 4
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR class_name, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
LONG RegCloseKey(HKEY key);
// The wide calls keep key paths and value names as their UTF-8 spelling.
LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR class_name, DWORD options,
                     REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
LONG RegDeleteTreeW(HKEY key, LPCWSTR sub_key);

// kernel32
ULONGLONG GetTickCount64(void);
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin_count);
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
HMODULE GetModuleHandleA(LPCSTR name);
// The scripted module_path, cut to size - 1 units and NUL-terminated; gives
// size when it was cut, else its length.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size);
void GetStartupInfoA(LPSTARTUPINFOA info);
[[noreturn]] void ExitProcess(UINT code);
void Sleep(DWORD ms);
DWORD GetLastError(void);
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int wide_size);
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int length, LPSTR text, int size,
                        LPCSTR default_char, LPBOOL used_default);

// kernel32: the log's folder and file
#define ERROR_ACCESS_DENIED 5L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // only ever passed as null
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);

// kernel32: the clock
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;
typedef struct _SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
typedef struct _TIME_ZONE_INFORMATION TIME_ZONE_INFORMATION;  // only ever passed as null
typedef INT_PTR(WINAPI *FARPROC)(void);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
void GetSystemTimeAsFileTime(LPFILETIME time);
BOOL FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time);
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *universal,
                                     LPSYSTEMTIME local);

// user32: windows, the message loop, menus, dialogs
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);
ATOM RegisterClassExA(const WNDCLASSEXA *wc);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
BOOL DestroyWindow(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int show);
BOOL UpdateWindow(HWND hwnd);
BOOL IsWindowVisible(HWND hwnd);
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);
HACCEL LoadAcceleratorsA(HINSTANCE instance, LPCSTR name);
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last);
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove);
void PostQuitMessage(int exit_code);
int TranslateAcceleratorA(HWND hwnd, HACCEL accel, LPMSG msg);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HMENU CreatePopupMenu(void);
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT *rect);
BOOL GetCursorPos(LPPOINT point);
BOOL SetForegroundWindow(HWND hwnd);
HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT *ps);
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC hdc);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
int FillRect(HDC hdc, const RECT *rect, HBRUSH brush);
BOOL InvalidateRect(HWND hwnd, const RECT *rect, BOOL erase);
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);
UINT RegisterClipboardFormatA(LPCSTR name);

// gdi32
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision, DWORD clip_precision,
                  DWORD quality, DWORD pitch_and_family, LPCSTR face);
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);
BOOL DeleteObject(HGDIOBJ object);
BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length);

// shell32
BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);
HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder, INT show);

// ws2_32
int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup(void);
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const struct sockaddr *name, int length);
int listen(SOCKET s, int backlog);
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG events);
int closesocket(SOCKET s);
SOCKET accept(SOCKET s, struct sockaddr *address, int *length);
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
            LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
int WSAGetLastError(void);
int shutdown(SOCKET s, int how);
USHORT htons(USHORT v);
USHORT ntohs(USHORT v);
ULONG htonl(ULONG v);
ULONG ntohl(ULONG v);
ULONG inet_addr(const char *text);

// DDEML (user32)
UINT DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD commands, DWORD reserved);
BOOL DdeUninitialize(DWORD instance);
HSZ DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codepage);
BOOL DdeFreeStringHandle(DWORD instance, HSZ hsz);
int DdeCmpStringHandles(HSZ a, HSZ b);
DWORD DdeQueryStringA(DWORD instance, HSZ hsz, LPSTR buffer, DWORD size, int codepage);
HDDEDATA DdeNameService(DWORD instance, HSZ service, HSZ reserved, UINT command);
UINT DdeGetLastError(DWORD instance);
HDDEDATA DdeCreateDataHandle(DWORD instance, LPBYTE source, DWORD length, DWORD offset, HSZ item, UINT format,
                             UINT flags);
BOOL DdeFreeDataHandle(HDDEDATA data);
BOOL DdePostAdvise(DWORD instance, HSZ topic, HSZ item);
// Only the conversation's topic is filled in.
typedef struct tagCONVINFO {
    DWORD cb;
    HSZ hszTopic;
} CONVINFO, *PCONVINFO;
#define QID_SYNC 0xFFFFFFFF
UINT DdeQueryConvInfo(HCONV conversation, DWORD transaction, PCONVINFO info);

// The Links window: a list view (comctl32) in a resizable window, and the
// clipboard. The stand-in has no list view class: a window of it is not made.
typedef DWORD COLORREF;
typedef HANDLE HGLOBAL;
typedef UINT *PUINT;
#define WM_SIZE 0x0005
#define WM_NOTIFY 0x004E
#define WM_NOTIFYFORMAT 0x0055
#define NFR_UNICODE 2
#define WS_OVERLAPPEDWINDOW                                                                                  \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_EX_CLIENTEDGE 0x00000200L
#define COLOR_GRAYTEXT 17
#define VK_CONTROL 0x11
#define GMEM_MOVEABLE 0x0002

typedef struct tagNMHDR {
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
} NMHDR;
typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX;
#define ICC_LISTVIEW_CLASSES 0x00000001
#define WC_LISTVIEWA "SysListView32"
#define LVS_REPORT 0x0001
#define LVS_SHOWSELALWAYS 0x0008
#define LVS_OWNERDATA 0x1000
#define LVS_EX_FULLROWSELECT 0x00000020
#define LVM_FIRST 0x1000
#define LVM_GETNEXTITEM (LVM_FIRST + 12)
#define LVM_INSERTCOLUMNA (LVM_FIRST + 27)
#define LVM_SETITEMSTATE (LVM_FIRST + 43)
#define LVM_SETITEMCOUNT (LVM_FIRST + 47)
#define LVM_SETEXTENDEDLISTVIEWSTYLE (LVM_FIRST + 54)
#define LVSICF_NOINVALIDATEALL 0x00000001
#define LVSICF_NOSCROLL 0x00000002
#define LVNI_SELECTED 0x0002
#define LVIS_SELECTED 0x0002
#define LVIF_TEXT 0x0001
#define LVCF_FMT 0x0001
#define LVCF_WIDTH 0x0002
#define LVCF_TEXT 0x0004
#define LVCF_SUBITEM 0x0008
#define LVCFMT_LEFT 0x0000
#define LVCFMT_RIGHT 0x0001
#define NM_FIRST (0U - 0U)
#define NM_CUSTOMDRAW (NM_FIRST - 12)
#define LVN_FIRST (0U - 100U)
#define LVN_COLUMNCLICK (LVN_FIRST - 8)
#define LVN_KEYDOWN (LVN_FIRST - 55)
#define LVN_GETDISPINFOW (LVN_FIRST - 77)
#define CDDS_PREPAINT 0x00000001
#define CDDS_ITEM 0x00010000
#define CDDS_ITEMPREPAINT (CDDS_ITEM | CDDS_PREPAINT)
#define CDRF_DODEFAULT 0x00000000
#define CDRF_NEWFONT 0x00000002
#define CDRF_NOTIFYITEMDRAW 0x00000020
typedef struct tagLVCOLUMNA {
    UINT mask;
    int fmt;
    int cx;
    LPSTR pszText;
    int cchTextMax;
    int iSubItem;
} LVCOLUMNA;
typedef struct tagLVITEMA {
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPSTR pszText;
    int cchTextMax;
} LVITEMA;
typedef struct tagLVITEMW {
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPWSTR pszText;
    int cchTextMax;
} LVITEMW;
typedef struct tagLVDISPINFOW {
    NMHDR hdr;
    LVITEMW item;
} NMLVDISPINFOW;
typedef struct tagNMLISTVIEW {
    NMHDR hdr;
    int iItem;
    int iSubItem;
} NMLISTVIEW;
typedef struct tagLVKEYDOWN {
    NMHDR hdr;
    WORD wVKey;
    UINT flags;
} NMLVKEYDOWN;
typedef struct tagNMCUSTOMDRAWINFO {
    NMHDR hdr;
    DWORD dwDrawStage;
    HDC hdc;
    RECT rc;
    DWORD_PTR dwItemSpec;
    UINT uItemState;
    LPARAM lItemlParam;
} NMCUSTOMDRAW;
typedef struct tagNMLVCUSTOMDRAW {
    NMCUSTOMDRAW nmcd;
    COLORREF clrText;
    COLORREF clrTextBk;
    int iSubItem;
} NMLVCUSTOMDRAW;
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX *controls);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
DWORD GetSysColor(int index);
short GetKeyState(int key);
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
LPVOID GlobalLock(HGLOBAL memory);
BOOL GlobalUnlock(HGLOBAL memory);
HGLOBAL GlobalFree(HGLOBAL memory);
BOOL OpenClipboard(HWND owner);
BOOL EmptyClipboard(void);
HANDLE SetClipboardData(UINT format, HANDLE data);
BOOL CloseClipboard(void);
