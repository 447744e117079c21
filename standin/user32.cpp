// user32: window classes and windows, the posted-message queue and its loop,
// activation, painting handles, menus, message boxes, dialogs and clipboard
// format names. Window procedures are called synchronously, as Windows does
// for sent messages, on the caller's stack.
#include "state.h"

#include <algorithm>

namespace standin {

// Records in the order the calls begin, so nested calls follow their cause.
template <class F>
static LRESULT record_call(std::vector<Call> &log, Call c, F f)
{
    size_t i = log.size();
    log.push_back(c);
    LRESULT r = f();
    if (i < log.size())
        log[i].result = r;
    return r;
}

// Null when unknown or destroyed.
static WindowRecord *find_window(HWND hwnd)
{
    auto &w = P().records.windows;
    uintptr_t n = handle_number(hwnd, kWindowBase);
    if (n == 0 || n > w.size() || w[n - 1].destroyed)
        return nullptr;
    return &w[n - 1];
}

// Into the window procedure, recorded; nothing for a window that is gone.
static LRESULT deliver(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    WindowRecord *w = find_window(hwnd);
    if (!w || !w->proc)
        return 0;
    WNDPROC proc = w->proc;
    return record_call(P().records.proc_calls, {hwnd, msg, wp, lp, 0},
                       [&] { return proc(hwnd, msg, wp, lp); });
}

const WindowRecord &window(HWND hwnd)
{
    auto &w = P().records.windows;
    uintptr_t n = handle_number(hwnd, kWindowBase);
    if (n == 0 || n > w.size())
        throw std::logic_error("standin::window: not a window handle");
    return w[n - 1];
}

HWND active_window()
{
    return P().active;
}
std::deque<MSG> &queue()
{
    return P().queue;
}

void pump()
{
    while (!P().queue.empty()) {
        MSG m = P().queue.front();
        P().queue.pop_front();
        DispatchMessageA(&m);
    }
}

int icon_id(HICON icon)
{
    uintptr_t n = handle_number(icon, kIconBase);
    if (n == 0 || n > 0xffff)
        throw std::logic_error("standin::icon_id: not an icon from LoadIconA");
    return static_cast<int>(n);
}

UINT clipboard_format(const std::string &name)
{
    auto &f = P().clipboard_formats;
    for (size_t i = 0; i < f.size(); i++)
        if (same_text(f[i], name))
            return P().script.first_clipboard_format + static_cast<UINT>(i);
    return 0;
}

}  // namespace standin

using namespace standin;

static HWND new_window(const std::string &cls, LPCSTR title, DWORD ex_style, DWORD style, int x, int y, int w,
                       int h, HWND parent, HMENU menu, HINSTANCE instance, WNDPROC proc)
{
    auto &ws = P().records.windows;
    HWND hwnd = make_handle<HWND>(kWindowBase, ws.size() + 1);
    WindowRecord r{hwnd, cls, title ? title : "", ex_style, style, x, y, w, h, parent, menu, instance, proc};
    r.visible = (style & WS_VISIBLE) != 0;
    ws.push_back(r);
    return hwnd;
}

// Activation moves WM_ACTIVATE between windows as Windows does; the program
// adds its tray icon there.
static void activate(HWND hwnd, bool minimized)
{
    HWND old = P().active;
    if (old == hwnd)
        return;
    P().active = hwnd;
    if (old)
        deliver(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
    deliver(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, minimized ? 1 : 0), reinterpret_cast<LPARAM>(old));
}

static void deactivate(HWND hwnd)
{
    if (P().active != hwnd)
        return;
    P().active = nullptr;
    deliver(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
}

ATOM RegisterClassExA(const WNDCLASSEXA *wc)
{
    auto &classes = P().records.classes;
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName))
        return 0;
    for (const ClassRecord &c : classes)
        if (same_text(c.class_name, wc->lpszClassName))
            return 0;
    ClassRecord c{static_cast<ATOM>(0xC100 + classes.size()), *wc, wc->lpszClassName, ""};
    if (wc->lpszMenuName && !IS_INTRESOURCE(wc->lpszMenuName)) {
        c.menu_name = wc->lpszMenuName;
        c.wc.lpszMenuName = nullptr;
    }
    c.wc.lpszClassName = nullptr;
    classes.push_back(c);
    return c.atom;
}

HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID)
{
    if (P().script.create_window_fails || !class_name)
        return nullptr;
    const ClassRecord *cls = nullptr;
    for (const ClassRecord &c : P().records.classes)
        if (IS_INTRESOURCE(class_name) ? c.atom == LOWORD(class_name) : same_text(c.class_name, class_name))
            cls = &c;
    if (!cls)
        return nullptr;
    HWND hwnd = new_window(cls->class_name, title, ex_style, style, x, y, width, height, parent, menu,
                           instance, cls->wc.lpfnWndProc);
    if (deliver(hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    return hwnd;
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    LRESULT r = 0;
    WindowRecord *w = find_window(hwnd);
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
    } else if (msg == WM_SETICON && w) {
        HICON &slot = wp == ICON_SMALL ? w->small_icon : w->big_icon;
        r = reinterpret_cast<LRESULT>(slot);
        slot = reinterpret_cast<HICON>(lp);
    } else if (msg == WM_PAINT && w) {
        w->needs_paint = false;
    } else if (msg == WM_ERASEBKGND) {
        r = 1;
    }
    P().records.def_window_proc_calls.push_back({hwnd, msg, wp, lp, r});
    return r;
}

BOOL DestroyWindow(HWND hwnd)
{
    WindowRecord *w = find_window(hwnd);
    if (!w)
        return FALSE;
    w->visible = false;
    deactivate(hwnd);
    deliver(hwnd, WM_DESTROY, 0, 0);
    if ((w = find_window(hwnd)))
        w->destroyed = true;  // the records may have grown meanwhile
    return TRUE;
}

BOOL ShowWindow(HWND hwnd, int show)
{
    P().records.show_commands.push_back(show);
    WindowRecord *w = find_window(hwnd);
    if (!w)
        return FALSE;
    BOOL was_visible = w->visible;
    w->visible = show != SW_HIDE;
    // A window that appears is painted whole.
    if (w->visible && !was_visible)
        w->needs_paint = true;
    if (show == SW_HIDE || show == SW_MINIMIZE)
        deactivate(hwnd);
    else if (show == SW_SHOWNORMAL || show == SW_SHOWMINIMIZED || show == SW_SHOWMAXIMIZED ||
             show == SW_SHOW || show == SW_RESTORE || show == SW_SHOWDEFAULT)
        activate(hwnd, show == SW_SHOWMINIMIZED);
    return was_visible;
}

BOOL IsWindowVisible(HWND hwnd)
{
    WindowRecord *w = find_window(hwnd);
    return w && w->visible && !w->destroyed;
}

BOOL UpdateWindow(HWND hwnd)
{
    P().records.updates.push_back(hwnd);
    WindowRecord *w = find_window(hwnd);
    if (!w)
        return FALSE;
    if (w->visible && w->needs_paint)
        deliver(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC)
{
    P().records.timers.push_back({hwnd, id, period});
    if (hwnd && !find_window(hwnd))
        return 0;
    // Setting a running timer again restarts it.
    auto &running = P().timers;
    if (std::find(running.begin(), running.end(), std::make_pair(hwnd, id)) == running.end())
        running.push_back({hwnd, id});
    return id ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    P().records.killed_timers.push_back({hwnd, id, 0});
    auto &running = P().timers;
    auto it = std::find(running.begin(), running.end(), std::make_pair(hwnd, id));
    if (it == running.end())
        return FALSE;
    running.erase(it);
    return TRUE;
}

namespace standin {

bool timer_running(HWND hwnd, UINT_PTR id)
{
    const auto &running = P().timers;
    return std::find(running.begin(), running.end(), std::make_pair(hwnd, id)) != running.end();
}

bool timer_elapses(HWND hwnd, UINT_PTR id)
{
    if (!timer_running(hwnd, id))
        return false;
    PostMessageA(hwnd, WM_TIMER, id, 0);
    return true;
}

}  // namespace standin

HACCEL LoadAcceleratorsA(HINSTANCE, LPCSTR name)
{
    P().records.accelerators.push_back(name);
    return IS_INTRESOURCE(name) ? make_handle<HACCEL>(kAccelBase, LOWORD(name)) : nullptr;
}

BOOL GetMessageA(LPMSG msg, HWND, UINT, UINT)
{
    for (;;) {
        Process &p = P();
        if (!p.queue.empty()) {
            *msg = p.queue.front();
            p.queue.pop_front();
            return TRUE;
        }
        // Windows hands out the quit message only once nothing else is posted.
        if (p.quit_pending) {
            p.quit_pending = false;
            *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(p.quit_code), 0, 0, {0, 0}};
            return FALSE;
        }
        if (p.script.idle.empty())
            throw QueueEmpty();
        std::function<void()> idle = std::move(p.script.idle.front());
        p.script.idle.pop_front();
        idle();
    }
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (hwnd && !find_window(hwnd))
        return FALSE;
    P().queue.push_back(MSG{hwnd, msg, wp, lp, 0, {0, 0}});
    return TRUE;
}

// Looks at posted messages only, in order; the quit message is never peeked.
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove)
{
    std::deque<MSG> &queue = P().queue;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (hwnd && it->hwnd != hwnd)
            continue;
        if ((first || last) && (it->message < first || it->message > last))
            continue;
        *msg = *it;
        if (remove & PM_REMOVE)
            queue.erase(it);
        return TRUE;
    }
    return FALSE;
}

void PostQuitMessage(int exit_code)
{
    P().records.quit_codes.push_back(exit_code);
    P().quit_pending = true;
    P().quit_code = exit_code;
}

int TranslateAcceleratorA(HWND, HACCEL, LPMSG msg)
{
    P().records.translated_accelerators.push_back(*msg);
    return P().script.translate_accelerator;
}

BOOL TranslateMessage(const MSG *)
{
    P().records.translate_message_calls++;
    return FALSE;
}

LRESULT DispatchMessageA(const MSG *msg)
{
    MSG m = *msg;
    return record_call(P().records.dispatched, {m.hwnd, m.message, m.wParam, m.lParam, 0},
                       [&] { return deliver(m.hwnd, m.message, m.wParam, m.lParam); });
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return record_call(P().records.sent, {hwnd, msg, wp, lp, 0}, [&] { return deliver(hwnd, msg, wp, lp); });
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    P().records.message_boxes.push_back({owner, text ? text : "", caption ? caption : "Error", type});
    if (P().script.before_modal_loop)
        P().script.before_modal_loop("MessageBoxA");
    if (P().script.message_box_hook)
        P().script.message_box_hook();
    return P().script.message_box_answer;
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name)
{
    P().records.icon_modules.push_back(instance);
    return IS_INTRESOURCE(name) && LOWORD(name) ? make_handle<HICON>(kIconBase, LOWORD(name)) : nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name)
{
    return IS_INTRESOURCE(name) && LOWORD(name) ? make_handle<HCURSOR>(kCursorBase, LOWORD(name)) : nullptr;
}

HMENU CreatePopupMenu(void)
{
    return make_handle<HMENU>(kMenuBase, ++P().menus);
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text)
{
    uintptr_t n = handle_number(menu, kMenuBase);
    if (n == 0 || n > P().menus)
        return FALSE;
    bool has_text = !(flags & (MF_SEPARATOR | MF_POPUP)) && text;
    P().records.menu_items.push_back({menu, flags, id, has_text ? text : ""});
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT *rect)
{
    P().records.popups.push_back({menu, flags, x, y, reserved, owner, rect != nullptr});
    if (P().script.before_modal_loop)
        P().script.before_modal_loop("TrackPopupMenu");
    if (P().script.track_popup_hook)
        P().script.track_popup_hook();
    BOOL chosen = P().script.track_popup_result;
    if (flags & TPM_RETURNCMD)
        return chosen;
    if (chosen)
        PostMessageA(owner, WM_COMMAND, static_cast<WPARAM>(chosen), 0);
    return TRUE;
}

BOOL GetCursorPos(LPPOINT point)
{
    *point = P().script.cursor;
    return TRUE;
}

BOOL SetForegroundWindow(HWND hwnd)
{
    P().records.foreground.push_back(hwnd);
    if (!find_window(hwnd))
        return FALSE;
    activate(hwnd, false);
    return TRUE;
}

static HDC new_dc()
{
    HDC hdc = make_handle<HDC>(kDcBase, ++P().dcs);
    P().dc_objects[hdc] = reinterpret_cast<HGDIOBJ>(kStockFont);
    return hdc;
}

HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps)
{
    WindowRecord *w = find_window(hwnd);
    if (!w)
        return nullptr;
    P().records.begin_paint++;
    w->needs_paint = false;
    *ps = PAINTSTRUCT();
    ps->hdc = new_dc();
    ps->rcPaint = P().script.client_rect;
    return ps->hdc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT *ps)
{
    P().records.end_paint++;
    return P().dc_objects.erase(ps->hdc) ? TRUE : FALSE;
}

HDC GetDC(HWND hwnd)
{
    if (hwnd && !find_window(hwnd))
        return nullptr;
    P().records.get_dc++;
    return new_dc();
}

int ReleaseDC(HWND, HDC hdc)
{
    P().records.release_dc++;
    return P().dc_objects.erase(hdc) ? 1 : 0;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect)
{
    if (!find_window(hwnd))
        return FALSE;
    *rect = P().script.client_rect;
    return TRUE;
}

int FillRect(HDC hdc, const RECT *rect, HBRUSH brush)
{
    P().records.fills.push_back({hdc, *rect, brush});
    return P().dc_objects.count(hdc) ? 1 : 0;
}

BOOL InvalidateRect(HWND hwnd, const RECT *rect, BOOL erase)
{
    P().records.invalidates.push_back({hwnd, rect != nullptr, erase});
    WindowRecord *w = find_window(hwnd);
    if (w)
        w->needs_paint = true;
    return w || !hwnd;
}

// The dialog's modal loop is the test's scripted messages; it ends when the
// dialog procedure calls EndDialog.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param)
{
    HWND dlg =
        new_window("#32770", "", 0, WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, owner, nullptr, instance, nullptr);
    P().records.dialogs.push_back({instance, name, owner, proc, param, 0});
    if (P().script.before_modal_loop)
        P().script.before_modal_loop("DialogBoxParamA");
    size_t record = P().records.dialogs.size() - 1;
    P().dialogs.push_back({dlg, false, 0});
    auto call = [&](UINT msg, WPARAM wp, LPARAM lp) {
        record_call(P().records.dialog_calls, {dlg, msg, wp, lp, 0}, [&] { return proc(dlg, msg, wp, lp); });
    };
    call(WM_INITDIALOG, 0, param);
    while (!P().dialogs.back().ended) {
        if (P().script.dialog_messages.empty())
            throw QueueEmpty();
        MSG m = P().script.dialog_messages.front();
        P().script.dialog_messages.pop_front();
        call(m.message, m.wParam, m.lParam);
    }
    INT_PTR result = P().dialogs.back().result;
    P().dialogs.pop_back();
    if (WindowRecord *w = find_window(dlg))
        w->destroyed = true;
    P().records.dialogs[record].result = result;
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    P().records.dialog_results.push_back(result);
    for (Dialog &d : P().dialogs)
        if (d.hwnd == dialog && !d.ended) {
            d.ended = true;
            d.result = result;
            return TRUE;
        }
    return FALSE;
}

UINT RegisterClipboardFormatA(LPCSTR name)
{
    if (!name || !*name)
        return 0;
    if (UINT f = clipboard_format(name))
        return f;
    P().clipboard_formats.push_back(name);
    return P().script.first_clipboard_format + static_cast<UINT>(P().clipboard_formats.size() - 1);
}
