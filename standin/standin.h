// Control of the stand-in Windows layer, for the unit tests: start a fresh
// "process", script what the calls answer, drive DDE as a client would and
// read back what the program asked of Windows.
//
// Contract: everything lives in one process-wide record set; reset() drops
// all of it (windows, queue, handles, sockets, DDE state, records, script).
// Fake handles are small distinct numbers, never dereferenced. Misuse that
// Windows would punish silently or by a crash (a critical section entered
// before InitializeCriticalSection..., left when not held, deleted while
// held) prints "standin: ..." to stderr and aborts. Misuse of this API by a
// test throws std::logic_error.
//
// Where the calls imitate Windows beyond recording (all synchronous, on the
// caller's stack):
// - CreateWindowExA sends WM_CREATE (lParam 0); -1 from it destroys the window.
//   DestroyWindow hides and deactivates, then sends WM_DESTROY.
// - ShowWindow with an activating command (SW_SHOWNORMAL, SW_SHOWMINIMIZED,
//   SW_SHOWMAXIMIZED, SW_SHOW, SW_RESTORE, SW_SHOWDEFAULT) and
//   SetForegroundWindow send WM_ACTIVATE to a window not yet active (and
//   WA_INACTIVE to the one that was); SW_HIDE and SW_MINIMIZE deactivate.
// - UpdateWindow sends WM_PAINT to a visible window invalidated since its last
//   BeginPaint (a new window counts as invalidated). BeginPaint sends no
//   WM_ERASEBKGND. DefWindowProcA: WM_CLOSE destroys, WM_SETICON stores.
// - GetMessageA hands out posted messages in order, then the quit message of
//   PostQuitMessage, then runs one scripted idle action and looks again;
//   with nothing left it throws QueueEmpty.
// - TrackPopupMenu without TPM_RETURNCMD posts WM_COMMAND for a scripted choice.
// - Shell_NotifyIconA keeps the icons shown: adding one twice, or changing or
//   deleting one not shown, fails. DeleteObject refuses a font still selected
//   into a live DC or deleted before.
// - Sockets: calls before WSAStartup, or on a closed socket, fail
//   (WSANOTINITIALISED, WSAENOTSOCK). Overlapped WSARecv/WSASend abort.
// - DDEML: string handles are reference counted; a handle freed as often as
//   it was created dies. A data handle the callback returns is freed by the
//   library after use unless HDATA_APPOWNED. DdeUninitialize ends
//   conversations and loops without calling back; disconnect() sends only
//   XTYP_DISCONNECT, as DDEML does.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin {

// ExitProcess(code) throws this instead of ending the test binary.
struct ProcessExit : std::runtime_error {
    UINT code;
    explicit ProcessExit(UINT c) : std::runtime_error("ExitProcess"), code(c) {}
};
// GetMessageA or a dialog ran out of scripted input: the test forgot to end
// a loop. Thrown instead of blocking.
struct QueueEmpty : std::runtime_error {
    QueueEmpty() : std::runtime_error("message queue empty and no idle action scripted") {}
};

struct SocketState {  // one socket; tests may script the fields marked so
    int af = 0, type = 0, protocol = 0;
    bool open = true;
    HWND select_window = nullptr;  // from WSAAsyncSelect
    UINT select_message = 0;
    LONG select_events = 0;
    std::string incoming;      // scripted: bytes WSARecv hands out, from the front
    bool peer_closed = false;  // scripted: once incoming is empty, WSARecv gives 0 bytes
    int recv_error = 0;        // scripted: next WSARecv fails with it (one-shot)
    long send_room = -1;  // scripted: bytes the socket takes before it is full (WSAEWOULDBLOCK); -1 no limit
    int send_error = 0;   // scripted: every WSASend fails with it while set
    std::string sent;     // every byte the socket accepted, in order
    bool write_shut = false;  // shutdown(SD_SEND): every later WSASend fails with WSAESHUTDOWN
    int send_calls = 0;
};

struct Script {
    BOOL init_critical_section = TRUE;
    bool create_window_fails = false;
    int message_box_answer = IDOK;
    // Runs while a message box is "open"; pump() imitates its modal loop.
    std::function<void()> message_box_hook;
    // Runs as a modal loop begins (a message box, a dialog, a popup menu),
    // before that loop's own hook: where the program's rules are checked.
    std::function<void(const char *loop)> before_modal_loop;
    BOOL track_popup_result = 0;
    std::function<void()> track_popup_hook;
    int translate_accelerator = 0;  // TranslateAcceleratorA's answer; non-zero: the message is not dispatched
    POINT cursor = {0, 0};
    RECT client_rect = {0, 0, 314, 86};
    std::deque<MSG> dialog_messages;         // fed to a dialog after WM_INITDIALOG; hwnd is filled in
    std::deque<std::function<void()>> idle;  // one runs each time GetMessageA finds the queue empty
    UINT first_clipboard_format = 0xC000;
    BOOL notify_icon_result = TRUE;  // FALSE: no tray, every Shell_NotifyIconA fails
    DWORD startup_flags = 0;
    WORD startup_show = 0;
    int wsa_startup_result = 0;
    int socket_error = 0;        // non-zero: socket() fails with it
    int bind_error = 0;          // non-zero: bind() fails with it
    int async_select_error = 0;  // non-zero: WSAAsyncSelect fails with it
    UINT dde_initialize_result = DMLERR_NO_ERROR;
    std::vector<std::string> failing_strings;  // DdeCreateStringHandleA gives 0 for these texts
    bool name_service_fails = false;
    ULONGLONG tick_count = 1000000;             // what GetTickCount64 gives; tests move it on
    UINT dde_failure_error = DMLERR_SYS_ERROR;  // DdeGetLastError after any scripted DDE failure
    std::u16string module_path = u"C:\\Users\\user\\Vantrel\\vantrel.exe";  // GetModuleFileNameW
    // The clock: both system-time calls give system_time (100-ns ticks since
    // 1601, UTC); GetProcAddress finds GetSystemTimePreciseAsFileTime in
    // kernel32 only while precise_clock. Local time is the UTC time plus
    // utc_offset_minutes of that instant (0 when unset).
    ULONGLONG system_time = 133537248000000000ULL;  // 2024-03-01 00:00:00 UTC
    bool precise_clock = true;
    std::function<LONG(ULONGLONG system_time)> utc_offset_minutes;
    // GetEnvironmentVariableW's variables.
    std::map<std::u16string, std::u16string> environment = {
        {u"LOCALAPPDATA", u"C:\\Users\\user\\AppData\\Local"}};
    int shell_execute_result = 42;  // what ShellExecuteW gives, as an HINSTANCE; above 32 is success
};

struct WindowRecord {
    HWND hwnd;
    std::string class_name, title;
    DWORD ex_style, style;
    int x, y, width, height;
    HWND parent;
    HMENU menu;
    HINSTANCE instance;
    WNDPROC proc;
    bool visible = false, destroyed = false, needs_paint = true;
    HICON small_icon = nullptr, big_icon = nullptr;  // from WM_SETICON through DefWindowProcA
};
struct ClassRecord {
    ATOM atom;
    WNDCLASSEXA wc;  // string members are null (or the integer resource) in the copy
    std::string class_name, menu_name;
};
struct Call {  // a message handed to a window or dialog procedure, or to DefWindowProcA
    HWND hwnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    LRESULT result;
};
struct MessageBoxRecord {
    HWND owner;
    std::string text, caption;
    UINT type;
};
struct MenuItem {
    HMENU menu;
    UINT flags;
    UINT_PTR id;
    std::string text;
};
struct TrackPopupRecord {
    HMENU menu;
    UINT flags;
    int x, y, reserved;
    HWND owner;
    bool has_rect;
};
struct DialogRecord {
    HINSTANCE instance;
    LPCSTR name;
    HWND owner;
    DLGPROC proc;
    LPARAM param;
    INT_PTR result;
};
struct FontRecord {
    HFONT font;
    int height, width, escapement, orientation, weight;
    DWORD italic, underline, strike_out, charset, out_precision, clip_precision, quality, pitch_and_family;
    std::string face;
};
struct SelectRecord {
    HDC hdc;
    HGDIOBJ object, previous;
};
struct TextRecord {
    HDC hdc;
    int x, y;
    std::string text;
};
struct FillRecord {
    HDC hdc;
    RECT rect;
    HBRUSH brush;
};
struct InvalidateRecord {
    HWND hwnd;
    bool has_rect;
    BOOL erase;
};
struct NotifyRecord {
    DWORD message;
    NOTIFYICONDATAA data;
    BOOL result;
};
struct BindRecord {
    SOCKET s;
    USHORT family;
    ULONG address;
    USHORT port;
    int length;
};  // network order
struct SelectEventsRecord {
    SOCKET s;
    HWND hwnd;
    UINT msg;
    LONG events;
};
struct StringRecord {
    std::string text;
    int codepage;
    HSZ result;
};
struct NameServiceRecord {
    std::string service;
    UINT command;
};
struct DataRecord {
    HDDEDATA handle;
    std::string bytes, item;
    UINT format, flags;
    bool freed = false;
};
struct Delivery {  // one XTYP_ADVREQ answer from DdePostAdvise
    HCONV conv;
    std::string topic, item;
    UINT format;
    std::optional<std::string> bytes;  // nullopt: the callback gave no data
};
struct AdviseLoop {
    HCONV conv;
    std::string topic, item;
    UINT format;
};

struct ShellExecuteRecord {
    HWND owner;
    std::u16string verb, file;
    INT show;
};

struct Records {
    std::vector<ClassRecord> classes;
    std::vector<WindowRecord> windows;
    std::vector<Call> proc_calls, def_window_proc_calls, sent, dispatched, dialog_calls;
    std::vector<MSG> translated_accelerators;
    int translate_message_calls = 0;
    std::vector<int> show_commands;
    std::vector<HWND> updates, foreground;
    struct Timer {
        HWND hwnd;
        UINT_PTR id;
        UINT period;
    };
    std::vector<Timer> timers;         // every SetTimer call
    std::vector<Timer> killed_timers;  // every KillTimer call (period 0)
    std::vector<int> quit_codes;
    std::vector<LPCSTR> accelerators;
    std::vector<MessageBoxRecord> message_boxes;
    std::vector<HINSTANCE> icon_modules;
    std::vector<MenuItem> menu_items;
    std::vector<TrackPopupRecord> popups;
    std::vector<DialogRecord> dialogs;
    std::vector<INT_PTR> dialog_results;  // EndDialog arguments
    int get_dc = 0, release_dc = 0, begin_paint = 0, end_paint = 0;
    std::vector<FontRecord> fonts;
    std::vector<SelectRecord> selects;
    std::vector<HGDIOBJ> deleted;
    std::vector<TextRecord> texts;
    std::vector<FillRecord> fills;
    std::vector<InvalidateRecord> invalidates;
    std::vector<NotifyRecord> notify_icons;
    std::vector<DWORD> critical_section_spins;
    std::vector<WORD> wsa_startups;
    int wsa_cleanups = 0;
    struct SocketCall {
        int af, type, protocol;
        SOCKET result;
    };
    std::vector<SocketCall> sockets;  // socket() calls, failed ones included
    std::vector<BindRecord> binds;
    std::vector<std::pair<SOCKET, int>> listens;
    std::vector<SelectEventsRecord> async_selects;
    std::vector<SOCKET> closed;
    std::vector<PFNCALLBACK> dde_initializations;
    int dde_uninitializations = 0;
    std::vector<StringRecord> string_handles;  // the program's DdeCreateStringHandleA calls
    std::vector<HSZ> string_frees;
    std::vector<int> query_codepages;
    std::vector<NameServiceRecord> name_services;
    std::vector<DataRecord> data;  // every DdeCreateDataHandle, with its bytes
    std::vector<Delivery> deliveries;
    int registry_writes = 0;  // RegSetValueEx calls, A and W
    int precise_clock_reads = 0,
        coarse_clock_reads = 0;  // GetSystemTimePreciseAsFileTime, GetSystemTimeAsFileTime
    int local_conversions = 0;   // SystemTimeToTzSpecificLocalTime
    int file_opens = 0, file_writes = 0;  // CreateFileW, WriteFile
    std::vector<ShellExecuteRecord> shell_executes;
};

void reset();
Script &script();
Records &records();

// kernel32
struct LockInfo {
    bool initialised, deleted;
    int depth, max_depth;
    DWORD spin_count;
};
LockInfo lock_info(const CRITICAL_SECTION *cs);
HINSTANCE module_handle();  // what GetModuleHandleA(NULL) gives

// user32
const WindowRecord &window(HWND hwnd);
HWND active_window();
std::deque<MSG> &queue();  // posted messages not yet retrieved
int dde_callback_depth();  // how many DDE callbacks are running now, one inside another
void pump();  // dispatches every posted message, as a modal loop would; the quit message stays pending
int icon_id(HICON icon);                         // the resource id LoadIconA was given
UINT clipboard_format(const std::string &name);  // 0 when never registered
// Whether SetTimer started the timer and no KillTimer stopped it since.
bool timer_running(HWND hwnd, UINT_PTR id);
// The timer's period elapses: posts its WM_TIMER when it is running, as the
// system would; false (nothing posted) when it is not.
bool timer_elapses(HWND hwnd, UINT_PTR id);

// advapi32: the registry of HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, each
// in its 64-bit and 32-bit view, key paths (below the root) and value names
// compared without regard to case as Windows does. A value is its type and
// its bytes; nullopt when the key or the value does not exist.
struct RegistryValue {
    DWORD type;
    std::string bytes;
};
enum class Hive { user, machine, user32, machine32 };
std::optional<RegistryValue> registry_value(const std::string &key, const std::string &name,
                                            Hive hive = Hive::user);
bool registry_key_exists(const std::string &key, Hive hive = Hive::user);
// The bytes of a REG_SZ as the wide calls write it: UTF-16LE with its NUL.
std::string wide_string_bytes(const std::u16string &text);
void set_registry_value(const std::string &key, const std::string &name, DWORD type, const std::string &bytes,
                        Hive hive = Hive::user);
std::string dword_bytes(DWORD value);

// kernel32: the file system, in memory: folders (no final backslash) and
// files by their paths, compared exactly as the program spells them. After
// reset only the LOCALAPPDATA folder exists, writable. CreateDirectoryW and
// CreateFileW (OPEN_ALWAYS, appending) need the parent folder, and fail
// with ERROR_ACCESS_DENIED in one that is not writable; MoveFileExW moves a
// file whose handles are all closed.
struct FileSystem {
    std::map<std::u16string, bool> folders;  // path -> writable
    std::map<std::u16string, std::string> files;
};
FileSystem &file_system();

// gdi32, shell32
bool tray_icon_shown(HWND hwnd, UINT id);  // added by Shell_NotifyIconA and not deleted

// ws2_32
SocketState &socket_state(SOCKET s);
// The socket the next accept() gives; `reuse` makes it hand out that socket's
// value again, as Windows often does once it is closed (open then: misuse).
SOCKET incoming_connection(SOCKET reuse = 0);
void failed_accept(int error);                                 // the next accept() fails with this error
void post_socket_event(SOCKET s, WORD event, WORD error = 0);  // as WSAAsyncSelect asked

// DDEML, as a client application would drive it
HSZ hsz(const std::string &text);  // a string handle held by the client
std::string hsz_text(HSZ hsz);
std::string data_bytes(HDDEDATA data);
bool service_registered(const std::string &service);
HCONV connect(const std::string &service, const std::string &topic);
bool advise(HCONV conv, const std::string &item, UINT format);
std::optional<std::string> request(HCONV conv, const std::string &item, UINT format);
bool unadvise(HCONV conv, const std::string &item, UINT format);  // false: no such loop, nothing sent
void disconnect(HCONV conv);
HDDEDATA call_callback(UINT type, UINT format, HCONV conv, HSZ topic, HSZ item, HDDEDATA data = nullptr,
                       ULONG_PTR data1 = 0, ULONG_PTR data2 = 0);
std::vector<AdviseLoop> advise_loops();

}  // namespace standin
