#include "app/links_window.h"

#include "app/resource.h"
#include "app/startup.h"
#include "core/clock.h"
#include "core/frame_pacer.h"
#include "core/links_model.h"
#include "core/registry.h"
#include "core/status_topic.h"
#include "core/text_encoding.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

HWND links_window;
HWND links_list;

static LinksModel links_model = {{}, 0, false, -1, false};
static FramePacer links_pacer;

static const char LINKS_TITLE[] = "Links - Quellvarden Vantrel";
static const int COLUMN_WIDTHS[LINK_COLUMN_COUNT] = {120, 65, 75, 100, 160, 60, 140};

ATOM register_links_window_class(HINSTANCE instance)
{
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = links_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LANTERN_DARK));
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = LINKS_WINDOW_CLASS;
    window_class.hIconSm = window_class.hIcon;
    return RegisterClassExA(&window_class);
}

// A paint at once keeps the rows current through a flood of feed messages,
// which holds WM_PAINT back for as long as it lasts. A paint of a screenful
// of rows takes long enough that one each frame cut what the program
// absorbs by some 40 % under Wine; one a second costs the feed nothing
// measurable, and the other frames are painted when the queue is idle.
// The rows are listed again (2 to 8 ms at 100,000 fields, sorted) only then.
// It runs inside the feed's update (docs/one-thread.md: paint).
constexpr ULONGLONG PAINT_AT_ONCE_MS = 1000;
static ULONGLONG painted_at_once;

// Redraws the visible rows from the model: the list view asks for the cells
// it shows (about a screenful) when it paints, each under the registry lock
// again. at_once (or a second since the last): the rows are listed again
// when the watched set changed, and painted now.
static void redraw_rows(bool at_once)
{
    if (!links_list)
        return;
    ULONGLONG now = GetTickCount64();
    if (now - painted_at_once >= PAINT_AT_ONCE_MS)
        at_once = true;
    if (at_once) {
        painted_at_once = now;
        EnterCriticalSection(&registry_lock);
        if (refresh_links(&links_model, status_topic.feed_open, read_system_time()))
            SendMessageA(links_list, LVM_SETITEMCOUNT, links_model.rows.size(),
                         LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
        LeaveCriticalSection(&registry_lock);
    }
    InvalidateRect(links_list, nullptr, FALSE);
    if (at_once)
        UpdateWindow(links_list);
}

void links_changed()
{
    links_pacer.changed = true;
    if (frame_due(&links_pacer))
        redraw_rows(false);
}

static bool create_links_window()
{
    // Registered once: a window that could not be made is tried again at the next open.
    static ATOM links_class;
    if (!links_class)
        links_class = register_links_window_class(app_instance);
    if (!links_class)
        return false;
    links_window = CreateWindowExA(0, LINKS_WINDOW_CLASS, LINKS_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                   CW_USEDEFAULT, 760, 480, nullptr, nullptr, app_instance, nullptr);
    if (!links_window)
        return false;
    links_pacer.window = links_window;
    links_pacer.timer_id = LINKS_TIMER_ID;
    return true;
}

void open_links_window()
{
    if (!links_window && !create_links_window())
        return;
    ShowWindow(links_window, SW_SHOW);
    SetForegroundWindow(links_window);
    frame_drawn(&links_pacer);
    redraw_rows(true);
}

static bool make_list(HWND window)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    if (!InitCommonControlsEx(&controls))
        return false;
    links_list = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                 WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0,
                                 0, 0, window, nullptr, app_instance, nullptr);
    if (!links_list)
        return false;
    SendMessageA(links_list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (int column = 0; column < LINK_COLUMN_COUNT; ++column) {
        LVCOLUMNA header = {};
        header.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_FMT;
        bool number = column == LINK_DDE || column == LINK_RTD || column == LINK_UPDATES;
        header.fmt = number ? LVCFMT_RIGHT : LVCFMT_LEFT;
        header.cx = COLUMN_WIDTHS[column];
        header.pszText = const_cast<char *>(LINK_COLUMN_TITLES[column]);
        header.iSubItem = column;
        SendMessageA(links_list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header));
    }
    return true;
}

// A cell the list view shows, in UTF-16 into the list view's buffer.
static void give_cell(NMLVDISPINFOW *info)
{
    LVITEMW &item = info->item;
    if (!(item.mask & LVIF_TEXT) || !item.pszText || item.cchTextMax <= 0)
        return;
    item.pszText[0] = 0;
    // No more bytes than the buffer has units: UTF-8 never takes fewer bytes
    // than UTF-16 units, so the cut text always fits.
    char text[VALUE_TEXT_SIZE];
    size_t size = static_cast<size_t>(item.cchTextMax) < sizeof text ? static_cast<size_t>(item.cchTextMax)
                                                                     : sizeof text;
    EnterCriticalSection(&registry_lock);
    bool listed = item.iItem >= 0 && static_cast<size_t>(item.iItem) < links_model.rows.size();
    if (listed)
        link_cell_text(links_model, static_cast<size_t>(item.iItem), item.iSubItem, status_topic.feed_open,
                       read_system_time(), text, size);
    LeaveCriticalSection(&registry_lock);
    if (listed)
        value_to_wide(text, item.pszText, item.cchTextMax);
}

// Rows that are not live are drawn in grey.
static LRESULT draw_row(NMLVCUSTOMDRAW *draw)
{
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        size_t row = static_cast<size_t>(draw->nmcd.dwItemSpec);
        EnterCriticalSection(&registry_lock);
        bool live = row < links_model.rows.size() &&
                    link_state(*field_at(links_model.rows[row]), status_topic.feed_open, read_system_time()) ==
                        LINK_LIVE;
        LeaveCriticalSection(&registry_lock);
        if (live)
            return CDRF_DODEFAULT;
        draw->clrText = GetSysColor(COLOR_GRAYTEXT);
        return CDRF_NEWFONT;
    }
    }
    return CDRF_DODEFAULT;
}

// A click on a header sorts by its column, up; a second click on the same one down.
static void sort_by(int column)
{
    bool descending = links_model.sort_column == column && !links_model.descending;
    EnterCriticalSection(&registry_lock);
    sort_links(&links_model, column, descending, status_topic.feed_open, read_system_time());
    LeaveCriticalSection(&registry_lock);
    InvalidateRect(links_list, nullptr, FALSE);
}

// The selected rows, as tab-separated text with a header line, to the clipboard.
static void copy_selected_rows(HWND window)
{
    std::vector<size_t> selected;
    std::string text;
    try {
        for (LRESULT at = -1;
             (at = SendMessageA(links_list, LVM_GETNEXTITEM, static_cast<WPARAM>(at), LVNI_SELECTED)) >= 0;)
            selected.push_back(static_cast<size_t>(at));
    } catch (const std::bad_alloc &) {
        return;
    }
    EnterCriticalSection(&registry_lock);
    // Rows listed again since the selection was made may be fewer.
    size_t listed = links_model.rows.size();
    selected.erase(std::remove_if(selected.begin(), selected.end(), [listed](size_t row) { return row >= listed; }),
                   selected.end());
    try {
        text = copy_links_text(links_model, selected, status_topic.feed_open, read_system_time());
    } catch (const std::bad_alloc &) {
        text.clear();
    }
    LeaveCriticalSection(&registry_lock);
    if (selected.empty() || text.empty())
        return;
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (static_cast<SIZE_T>(units) + 1) * sizeof(WCHAR));
    WCHAR *wide = memory ? static_cast<WCHAR *>(GlobalLock(memory)) : nullptr;
    if (!wide) {
        if (memory)
            GlobalFree(memory);
        return;
    }
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide, units);
    wide[units] = 0;
    GlobalUnlock(memory);
    // The clipboard owns the memory once SetClipboardData took it.
    if (!OpenClipboard(window)) {
        GlobalFree(memory);
        return;
    }
    EmptyClipboard();
    if (!SetClipboardData(CF_UNICODETEXT, memory))
        GlobalFree(memory);
    CloseClipboard();
}

static void on_key(HWND window, WORD key)
{
    if (!(GetKeyState(VK_CONTROL) & 0x8000))
        return;
    if (key == 'A') {
        LVITEMA all = {};
        all.stateMask = LVIS_SELECTED;
        all.state = LVIS_SELECTED;
        SendMessageA(links_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&all));
    } else if (key == 'C') {
        copy_selected_rows(window);
    }
}

static LRESULT on_notify(HWND window, NMHDR *header)
{
    if (header->hwndFrom != links_list)
        return 0;
    switch (header->code) {
    case LVN_GETDISPINFOW:
        give_cell(reinterpret_cast<NMLVDISPINFOW *>(header));
        return 0;
    case NM_CUSTOMDRAW:
        return draw_row(reinterpret_cast<NMLVCUSTOMDRAW *>(header));
    case LVN_COLUMNCLICK:
        sort_by(reinterpret_cast<NMLISTVIEW *>(header)->iSubItem);
        return 0;
    case LVN_KEYDOWN:
        on_key(window, reinterpret_cast<NMLVKEYDOWN *>(header)->wVKey);
        return 0;
    }
    return 0;
}

LRESULT CALLBACK links_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        return make_list(window) ? 0 : -1;
    case WM_NOTIFYFORMAT:
        // The cells are UTF-16: the list view is to send LVN_GETDISPINFOW.
        return NFR_UNICODE;
    case WM_SIZE:
        if (links_list)
            MoveWindow(links_list, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
        return 0;
    case WM_NOTIFY:
        return on_notify(window, reinterpret_cast<NMHDR *>(lparam));
    case WM_TIMER:
        if (wparam == LINKS_TIMER_ID && frame_timer_ended(&links_pacer))
            redraw_rows(false);
        return 0;
    case WM_CLOSE:
        ShowWindow(window, SW_HIDE);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
