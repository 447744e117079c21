// The stand-in's process-wide state, shared by its .cpp files only.
#pragma once

#include "standin.h"

#include <map>
#include <utility>

namespace standin {

struct Section {
    bool initialised = false, deleted = false;
    int depth = 0, max_depth = 0;
    DWORD spin = 0;
};
struct Dialog {
    HWND hwnd;
    bool ended;
    INT_PTR result;
};
struct StringEntry {
    std::string text;
    int refs;
};
struct Conversation {
    HCONV conv;
    HSZ service, topic;
    bool open;
};
struct Loop {
    HCONV conv;
    HSZ topic, item;
    UINT format;
};

struct Process {
    Script script;
    Records records;
    std::map<const CRITICAL_SECTION *, Section> sections;
    std::deque<MSG> queue;
    bool quit_pending = false;
    int quit_code = 0;
    HWND active = nullptr;
    std::vector<Dialog> dialogs;
    uintptr_t menus = 0, dcs = 0;
    std::vector<std::string> clipboard_formats;
    std::map<HDC, HGDIOBJ> dc_objects;              // the object currently selected into each live DC
    std::vector<HGDIOBJ> deleted_objects;           // deleted successfully
    std::vector<std::pair<HWND, UINT>> tray;        // icons present in the notification area
    std::vector<std::pair<HWND, UINT_PTR>> timers;  // running timers
    // Hive prefix and lower-case key path -> lower-case value name -> value.
    std::map<std::string, std::map<std::string, RegistryValue>> registry;
    std::map<HKEY, std::string> open_keys;
    uintptr_t keys_opened = 0;
    int wsa_started = 0, socket_error = 0;
    std::map<SOCKET, SocketState> sockets;
    struct PendingAccept {
        SOCKET s;
        int error;
        bool reuse;
    };
    std::deque<PendingAccept> accepts;
    DWORD dde_instance = 0;
    bool dde_live = false;
    PFNCALLBACK callback = nullptr;
    int dde_callback_depth = 0;  // DDE callbacks running now, one inside another
    UINT dde_error = 0;
    std::vector<StringEntry> strings;
    std::vector<std::string> services;
    std::vector<Conversation> conversations;
    std::vector<Loop> loops;
    FileSystem files{{{u"C:\\Users\\user\\AppData\\Local", true}}, {}};
    std::map<HANDLE, std::u16string> open_files;
    uintptr_t files_opened = 0;
};

Process &P();

// Prints "standin: <what>" to stderr and aborts: the program misused Windows.
[[noreturn]] void misuse(const char *what);
void set_last_error(DWORD error);                            // what GetLastError gives next
bool same_text(const std::string &a, const std::string &b);  // ignoring ASCII case

// Fake handles are a per-kind base plus a small number.
template <class H>
H make_handle(uintptr_t base, uintptr_t n)
{
    return reinterpret_cast<H>(base + n);
}
template <class H>
uintptr_t handle_number(H h, uintptr_t base)
{
    return reinterpret_cast<uintptr_t>(h) - base;
}
constexpr uintptr_t kWindowBase = 0x10000, kDcBase = 0x20000, kFontBase = 0x30000, kStockFont = 0x3ffff,
                    kMenuBase = 0x40000, kKeyBase = 0xb0000, kIconBase = 0x50000, kCursorBase = 0x60000,
                    kAccelBase = 0x70000, kStringBase = 0x80000, kConvBase = 0x90000, kDataBase = 0xa0000,
                    kFileBase = 0xc0000, kModule = 0x400000, kKernel32 = 0x410000;

}  // namespace standin
