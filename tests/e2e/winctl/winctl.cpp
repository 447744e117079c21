// winctl: finds, reads and dismisses top-level windows for the end-to-end
// tests, which drive the program from outside its process.
//
//   winctl msgbox --caption C [--press ok|cancel|yes|no|none]
//   winctl dialog --caption C [--press ok|cancel|none]
//   winctl find   --class C [--title T] [--gone]
//   winctl post   --class C [--title T] MSG [WPARAM [LPARAM]]
//   winctl send   --class C [--title T] MSG [WPARAM [LPARAM]]
//
// Every command takes --timeout SECONDS (default 10) and exits 0 on success,
// 1 when the window was not found (or not gone) in time, 64 on a usage error.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

enum { EXIT_FOUND = 0, EXIT_NOT_FOUND = 1, EXIT_USAGE = 64 };

// Dialogs and message boxes have this window class.
static const char DIALOG_CLASS[] = "#32770";
// A message box's text is the static control with this id.
const int MSGBOX_TEXT_ID = 0xFFFF;
const DWORD POLL_MS = 50;

struct Command {
    std::string verb;
    std::string window_class;
    std::string title;
    bool has_title = false;
    std::string press;
    bool gone = false;
    double timeout = 10;
    std::vector<std::string> numbers; // MSG, WPARAM, LPARAM of post and send
};

static Command command;

static const char USAGE[] = "usage: winctl msgbox --caption C [--press ok|cancel|yes|no|none] [--timeout S]\n"
                            "       winctl dialog --caption C [--press ok|cancel|none] [--timeout S]\n"
                            "       winctl find --class C [--title T] [--gone] [--timeout S]\n"
                            "       winctl post --class C [--title T] MSG [WPARAM [LPARAM]] [--timeout S]\n"
                            "       winctl send --class C [--title T] MSG [WPARAM [LPARAM]] [--timeout S]\n"
                            "Numbers are decimal or 0x hex. Exit 0 done, 1 not found in time, 64 usage.\n";

static int usage_error(const char *why, const char *what)
{
    fprintf(stderr, "winctl: %s%s\n%s", why, what, USAGE);
    return EXIT_USAGE;
}

// Decimal (possibly negative) or 0x hex, the whole text.
static bool parse_number(const std::string &text, long long *value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    *value =
        hex ? static_cast<long long>(strtoull(text.c_str() + 2, &end, 16)) : strtoll(text.c_str(), &end, 10);
    return *end == '\0';
}

static int parse_args(int argc, char **argv)
{
    if (argc < 2)
        return usage_error("no command", "");
    Command &c = command;
    c.verb = argv[1];
    const bool by_caption = c.verb == "msgbox" || c.verb == "dialog";
    const bool by_class = c.verb == "find" || c.verb == "post" || c.verb == "send";
    if (!by_caption && !by_class)
        return usage_error("unknown command ", c.verb.c_str());
    c.press = c.verb == "msgbox" ? "ok" : "none";
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--gone" && c.verb == "find") {
            c.gone = true;
            continue;
        }
        if (arg.compare(0, 2, "--") != 0) {
            if (c.verb != "post" && c.verb != "send")
                return usage_error("unexpected argument ", arg.c_str());
            c.numbers.push_back(arg);
            continue;
        }
        if (i + 1 >= argc)
            return usage_error("missing value for ", arg.c_str());
        const std::string value = argv[++i];
        if (arg == "--timeout") {
            char *end = nullptr;
            c.timeout = strtod(value.c_str(), &end);
            if (*end || !(c.timeout >= 0) || c.timeout > 1e6)
                return usage_error("bad --timeout ", value.c_str());
        } else if (arg == "--caption" && by_caption) {
            c.window_class = DIALOG_CLASS;
            c.title = value;
            c.has_title = true;
        } else if (arg == "--press" && by_caption) {
            if (value != "ok" && value != "cancel" && value != "yes" && value != "no" && value != "none")
                return usage_error("bad --press ", value.c_str());
            c.press = value;
        } else if (arg == "--class" && by_class) {
            c.window_class = value;
        } else if (arg == "--title" && by_class) {
            c.title = value;
            c.has_title = true;
        } else {
            return usage_error("unknown option ", arg.c_str());
        }
    }
    if (by_caption && !c.has_title)
        return usage_error("--caption is required", "");
    if (by_class && c.window_class.empty())
        return usage_error("--class is required", "");
    if (c.verb == "post" || c.verb == "send") {
        long long n;
        if (c.numbers.empty() || c.numbers.size() > 3)
            return usage_error("expected MSG [WPARAM [LPARAM]]", "");
        for (const std::string &text : c.numbers) {
            if (!parse_number(text, &n))
                return usage_error("bad number ", text.c_str());
        }
    }
    return 0;
}

static std::string window_text(HWND hwnd)
{
    char text[1024] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

static BOOL CALLBACK collect_match(HWND hwnd, LPARAM lparam)
{
    char cls[256] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    // Class names ignore case; titles are compared exactly.
    if (lstrcmpiA(cls, command.window_class.c_str()) == 0 &&
        (!command.has_title || window_text(hwnd) == command.title))
        reinterpret_cast<std::vector<HWND> *>(lparam)->push_back(hwnd);
    return TRUE;
}

static std::vector<HWND> matching_windows()
{
    std::vector<HWND> found;
    EnumWindows(collect_match, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Polls until a matching window exists (or, with want_gone, none does) or
// the timeout runs out. Gives the matches found last.
static bool wait_for(bool want_gone, std::vector<HWND> *found)
{
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(command.timeout * 1000.0);
    for (;;) {
        *found = matching_windows();
        if (found->empty() == want_gone)
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(POLL_MS);
    }
}

static void print_escaped_line(const std::string &text)
{
    for (char ch : text) {
        if (ch == '\n')
            fputs("\\n", stdout);
        else if (ch == '\r')
            fputs("\\r", stdout);
        else
            putchar(ch);
    }
    putchar('\n');
}

struct Child {
    HWND hwnd;
    std::string cls;
    int id;
    std::string text;
};

static BOOL CALLBACK collect_child(HWND hwnd, LPARAM lparam)
{
    char cls[256] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    // The "text" of an icon or picture control is its resource id.
    const LONG type = GetWindowLongA(hwnd, GWL_STYLE) & SS_TYPEMASK;
    const bool picture = lstrcmpiA(cls, "Static") == 0 && (type == SS_ICON || type == SS_BITMAP);
    reinterpret_cast<std::vector<Child> *>(lparam)->push_back(
        {hwnd, cls, GetDlgCtrlID(hwnd), picture ? std::string() : window_text(hwnd)});
    return TRUE;
}

// Posts the button's click the way the dialog manager would pass it on.
// A box without an OK button (MB_YESNO and the like) is closed by cancel.
static bool press_button(HWND box, const std::string &which)
{
    int id = which == "ok" ? IDOK : which == "yes" ? IDYES : which == "no" ? IDNO : IDCANCEL;
    HWND button = GetDlgItem(box, id);
    if (!button && id == IDOK) {
        id = IDCANCEL;
        button = GetDlgItem(box, id);
    }
    if (!PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)))
        return false;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(command.timeout * 1000.0) + POLL_MS;
    while (IsWindow(box)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(POLL_MS);
    }
    return true;
}

static int show_box(HWND box)
{
    std::vector<Child> children;
    EnumChildWindows(box, collect_child, reinterpret_cast<LPARAM>(&children));
    if (command.verb == "msgbox") {
        const Child *text = nullptr;
        for (const Child &c : children) {
            // 0xFFFF, or -1 where the id is read as 32 bits.
            if ((c.id & 0xFFFF) == MSGBOX_TEXT_ID && lstrcmpiA(c.cls.c_str(), "Static") == 0)
                text = &c;
        }
        if (text) {
            printf("%s\n", text->text.c_str());
        } else {
            // Not a standard message box: every non-empty static text.
            for (const Child &c : children) {
                if (lstrcmpiA(c.cls.c_str(), "Static") == 0 && !c.text.empty())
                    printf("%s\n", c.text.c_str());
            }
        }
    } else {
        for (const Child &c : children) {
            printf("%s id=%d text=\"", c.cls.c_str(), c.id);
            print_escaped_line(c.text + "\"");
        }
    }
    fflush(stdout);
    if (command.press != "none" && !press_button(box, command.press)) {
        fprintf(stderr, "winctl: the window did not close\n");
        return EXIT_NOT_FOUND;
    }
    return EXIT_FOUND;
}

static int post_or_send(HWND hwnd)
{
    long long n[3] = {0, 0, 0};
    for (size_t i = 0; i < command.numbers.size(); i++)
        parse_number(command.numbers[i], &n[i]);
    const UINT msg = static_cast<UINT>(n[0]);
    const WPARAM wparam = static_cast<WPARAM>(n[1]);
    const LPARAM lparam = static_cast<LPARAM>(n[2]);
    if (command.verb == "post") {
        if (!PostMessageA(hwnd, msg, wparam, lparam)) {
            fprintf(stderr, "winctl: PostMessage failed (error %lu)\n", GetLastError());
            return EXIT_NOT_FOUND;
        }
        return EXIT_FOUND;
    }
    DWORD_PTR result = 0;
    const UINT wait_ms = static_cast<UINT>(command.timeout * 1000.0);
    if (!SendMessageTimeoutA(hwnd, msg, wparam, lparam, SMTO_ABORTIFHUNG, wait_ms, &result)) {
        fprintf(stderr, "winctl: no answer to the message (error %lu)\n", GetLastError());
        return EXIT_NOT_FOUND;
    }
    printf("%lld\n", static_cast<long long>(result));
    return EXIT_FOUND;
}

int main(int argc, char **argv)
{
    if (int rc = parse_args(argc, argv))
        return rc;
    std::vector<HWND> found;
    if (!wait_for(command.gone, &found)) {
        if (command.gone)
            fprintf(stderr, "winctl: a window of class %s is still there\n", command.window_class.c_str());
        else
            fprintf(stderr, "winctl: no window of class %s%s%s\n", command.window_class.c_str(),
                    command.has_title ? " titled " : "", command.has_title ? command.title.c_str() : "");
        return EXIT_NOT_FOUND;
    }
    if (command.verb == "msgbox" || command.verb == "dialog")
        return show_box(found.front());
    if (command.verb == "post" || command.verb == "send")
        return post_or_send(found.front());
    for (HWND hwnd : found) {
        printf("0x%llx visible=%d title=\"%s\"\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)),
               IsWindowVisible(hwnd) ? 1 : 0, window_text(hwnd).c_str());
    }
    return EXIT_FOUND;
}
