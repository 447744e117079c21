// gdi32 fonts and text on the fake device contexts of user32, and the
// shell32 notification-area icon.
#include "state.h"

#include <algorithm>

namespace standin {
bool tray_icon_shown(HWND hwnd, UINT id)
{
    auto &tray = P().tray;
    return std::find(tray.begin(), tray.end(), std::make_pair(hwnd, id)) != tray.end();
}
}  // namespace standin

using namespace standin;

static bool is_font(HGDIOBJ object)
{
    uintptr_t n = handle_number(object, kFontBase);
    return n >= 1 && n <= P().records.fonts.size();
}

HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike_out, DWORD charset, DWORD out_precision, DWORD clip_precision,
                  DWORD quality, DWORD pitch_and_family, LPCSTR face)
{
    auto &fonts = P().records.fonts;
    HFONT font = make_handle<HFONT>(kFontBase, fonts.size() + 1);
    fonts.push_back({font, height, width, escapement, orientation, weight, italic, underline, strike_out,
                     charset, out_precision, clip_precision, quality, pitch_and_family, face ? face : ""});
    return font;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object)
{
    auto it = P().dc_objects.find(hdc);
    HGDIOBJ previous = it == P().dc_objects.end() || !object ? nullptr : it->second;
    if (previous)
        it->second = object;
    P().records.selects.push_back({hdc, object, previous});
    return previous;
}

// Windows refuses to delete an object still selected into a DC.
BOOL DeleteObject(HGDIOBJ object)
{
    auto &gone = P().deleted_objects;
    P().records.deleted.push_back(object);
    bool selected = std::any_of(P().dc_objects.begin(), P().dc_objects.end(),
                                [&](const std::pair<HDC const, HGDIOBJ> &d) { return d.second == object; });
    if (!is_font(object) || selected || std::find(gone.begin(), gone.end(), object) != gone.end())
        return FALSE;
    gone.push_back(object);
    return TRUE;
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length)
{
    P().records.texts.push_back({hdc, x, y, std::string(text, length > 0 ? static_cast<size_t>(length) : 0)});
    return P().dc_objects.count(hdc) ? TRUE : FALSE;
}

// Adding an icon that is there, or changing or deleting one that is not,
// fails as it does in the shell.
BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data)
{
    auto &tray = P().tray;
    std::pair<HWND, UINT> key(data->hWnd, data->uID);
    auto it = std::find(tray.begin(), tray.end(), key);
    BOOL result = P().script.notify_icon_result;
    if (result && message == NIM_ADD) {
        if (it == tray.end())
            tray.push_back(key);
        else
            result = FALSE;
    } else if (result && (message == NIM_MODIFY || message == NIM_DELETE)) {
        if (it == tray.end())
            result = FALSE;
        else if (message == NIM_DELETE)
            tray.erase(it);
    }
    P().records.notify_icons.push_back({message, *data, result});
    return result;
}
