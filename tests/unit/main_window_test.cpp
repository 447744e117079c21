#include "test_support.h"

#include <vector>

static HINSTANCE const INSTANCE = reinterpret_cast<HINSTANCE>(0x400000);

class MainWindow : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        register_main_window_class(INSTANCE);
        ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    }
    LRESULT send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0)
    {
        return main_window_proc(main_window, message, wparam, lparam);
    }
    // DefWindowProcA calls for this message (a tick's WM_SETICON goes there too).
    size_t default_calls(UINT message)
    {
        size_t count = 0;
        for (const standin::Call &call : standin::records().def_window_proc_calls)
            count += call.msg == message;
        return count;
    }
    // The tray icon after each of `ticks` timer ticks.
    std::vector<int> tick(int ticks)
    {
        std::vector<int> icons;
        for (int i = 0; i < ticks; ++i) {
            send(WM_TIMER, ANIMATION_TIMER_ID);
            icons.push_back(standin::icon_id(tray_icon_data.hIcon));
        }
        return icons;
    }
};

TEST_F(MainWindow, ClassAndTrayRecord)
{
    const standin::ClassRecord &cls = standin::records().classes.at(0);
    EXPECT_EQ(cls.class_name, "VANTREL");
    EXPECT_EQ(cls.wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(cls.wc.lpfnWndProc, main_window_proc);
    EXPECT_EQ(cls.wc.hInstance, INSTANCE);
    EXPECT_EQ(standin::icon_id(cls.wc.hIcon), 101);
    EXPECT_EQ(standin::icon_id(cls.wc.hIconSm), 101);
    EXPECT_EQ(cls.wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));

    EXPECT_EQ(tray_icon_data.cbSize, 520u);
    EXPECT_EQ(tray_icon_data.uID, 103u);
    EXPECT_EQ(tray_icon_data.uFlags, 7u);
    EXPECT_EQ(tray_icon_data.uCallbackMessage, 1025u);
    EXPECT_EQ(standin::icon_id(tray_icon_data.hIcon), 101);
    EXPECT_STREQ(tray_icon_data.szTip, "Quellvarden Vantrel");

    const auto &items = standin::records().menu_items;
    ASSERT_EQ(items.size(), 3u);
    for (const auto &item : items) {
        EXPECT_EQ(item.menu, tray_menu);
        EXPECT_EQ(item.flags, static_cast<UINT>(MF_STRING));
    }
    EXPECT_EQ(items[0].id, 1003u);
    EXPECT_EQ(items[0].text, "Links...");
    EXPECT_EQ(items[1].id, 1004u);
    EXPECT_EQ(items[1].text, "Open log");
    EXPECT_EQ(items[2].id, 1002u);
    EXPECT_EQ(items[2].text, "Close");
}

TEST_F(MainWindow, MessageTable)
{
    struct Case {
        const char *name;
        UINT message;
        WPARAM wparam;
        bool to_default;
    } cases[] = {
        {"activate", WM_ACTIVATE, WA_ACTIVE, false},
        {"deactivate", WM_ACTIVATE, WA_INACTIVE, false},
        {"paint", WM_PAINT, 0, false},
        {"timer 1028", WM_TIMER, 1028, false},
        {"other timer", WM_TIMER, 7, false},
        {"tray", WM_TRAY_NOTIFY, 103, false},
        {"listen socket", WM_LISTEN_SOCKET, 0, false},
        {"client socket", WM_CLIENT_SOCKET, 0, false},
        {"unknown command", WM_COMMAND, 999, true},
        {"maximize", WM_SYSCOMMAND, SC_MAXIMIZE, true},
        {"move", WM_SYSCOMMAND, 0xF010 /* SC_MOVE */, true},
        {"minimize", WM_SYSCOMMAND, SC_MINIMIZE | 0xF, false},
        {"close box", WM_SYSCOMMAND, SC_CLOSE | 0x3, false},
        {"unlisted", WM_MOUSEMOVE, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = default_calls(c.message);
        EXPECT_EQ(send(c.message, c.wparam), 0);
        EXPECT_EQ(default_calls(c.message) - before, c.to_default ? 1u : 0u);
    }
}

TEST_F(MainWindow, ActivationAddsTheTrayIcon)
{
    send(WM_ACTIVATE, WA_ACTIVE);
    const standin::NotifyRecord &added = standin::records().notify_icons.back();
    EXPECT_EQ(added.message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(added.data.uID, 103u);
    EXPECT_EQ(added.data.hWnd, main_window);
}

TEST_F(MainWindow, SystemMinimizeAndCloseOnlyHide)
{
    send(WM_SYSCOMMAND, SC_CLOSE | 0xF);
    EXPECT_FALSE(standin::window(main_window).visible);
    EXPECT_FALSE(standin::window(main_window).destroyed);
    EXPECT_EQ(standin::records().dde_uninitializations, 0);
    send(WM_TRAY_NOTIFY, TRAY_ICON_ID, WM_LBUTTONUP);
    EXPECT_TRUE(standin::window(main_window).visible);
    send(WM_SYSCOMMAND, SC_MINIMIZE);
    EXPECT_FALSE(standin::window(main_window).visible);
}

TEST_F(MainWindow, EraseFillsTheClientAreaWithTheClassBrush)
{
    HDC dc = reinterpret_cast<HDC>(0x77);
    standin::script().client_rect = RECT{0, 0, 314, 86};
    EXPECT_EQ(send(WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc)), 0);
    const standin::FillRecord &fill = standin::records().fills.back();
    EXPECT_EQ(fill.hdc, dc);
    EXPECT_EQ(fill.rect.right, 314);
    EXPECT_EQ(fill.rect.bottom, 86);
    EXPECT_EQ(fill.brush, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
}

TEST_F(MainWindow, PaintDrawsTheStatusLinesBetweenBeginAndEnd)
{
    standin::records().texts.clear();
    int begins = standin::records().begin_paint;
    send(WM_PAINT);
    EXPECT_EQ(standin::records().begin_paint, begins + 1);
    EXPECT_EQ(standin::records().end_paint, standin::records().begin_paint);
    EXPECT_EQ(standin::records().texts.size(), 5u);
}

TEST_F(MainWindow, CommandsOpenAboutAndExit)
{
    standin::script().dialog_messages.push_back(MSG{nullptr, WM_COMMAND, IDOK, 0, 0, {0, 0}});
    EXPECT_EQ(send(WM_COMMAND, IDM_ABOUT), 0);
    const standin::DialogRecord &about = standin::records().dialogs.at(0);
    EXPECT_EQ(about.instance, INSTANCE);
    EXPECT_EQ(about.name, MAKEINTRESOURCEA(103));
    EXPECT_EQ(about.owner, main_window);
    EXPECT_EQ(about.proc, about_dialog_proc);
    EXPECT_EQ(about.param, 0);

    EXPECT_EQ(send(WM_COMMAND, IDM_EXIT), 0);
    EXPECT_TRUE(standin::window(main_window).destroyed);
    EXPECT_EQ(standin::records().quit_codes, std::vector<int>{0});
}

TEST_F(MainWindow, AboutBoxEndsOnOkAndCancelOnly)
{
    HWND dialog = reinterpret_cast<HWND>(0x55);
    EXPECT_EQ(about_dialog_proc(dialog, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_EQ(about_dialog_proc(dialog, WM_COMMAND, 1000, 0), FALSE);
    EXPECT_EQ(about_dialog_proc(dialog, WM_PAINT, 0, 0), FALSE);
    EXPECT_TRUE(standin::records().dialog_results.empty());
    EXPECT_EQ(about_dialog_proc(dialog, WM_COMMAND, IDCANCEL, 0), TRUE);
    EXPECT_EQ(about_dialog_proc(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0), TRUE);
    EXPECT_EQ(standin::records().dialog_results, (std::vector<INT_PTR>{IDCANCEL, IDOK}));
}

TEST_F(MainWindow, TrayMouseMessages)
{
    struct Case {
        const char *name;
        WPARAM id;
        LPARAM mouse;
        size_t foregrounds;
        bool menu;
    } cases[] = {
        {"move", 103, WM_MOUSEMOVE, 1, false},
        {"left up", 103, WM_LBUTTONUP, 1, false},
        {"right down", 103, WM_RBUTTONDOWN, 2, true},
        {"right up", 103, WM_RBUTTONUP, 1, false},
        {"double click", 103, WM_LBUTTONDBLCLK, 1, false},
        {"middle", 103, WM_MBUTTONDOWN, 1, false},
        {"other icon", 5, WM_MOUSEMOVE, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        hide_main_window();
        size_t foregrounds = standin::records().foreground.size();
        size_t popups = standin::records().popups.size();
        EXPECT_EQ(send(WM_TRAY_NOTIFY, c.id, c.mouse), 0);
        EXPECT_EQ(standin::records().foreground.size() - foregrounds, c.foregrounds);
        EXPECT_EQ(standin::records().popups.size() - popups, c.menu ? 1u : 0u);
        EXPECT_EQ(standin::window(main_window).visible, c.mouse == WM_LBUTTONUP);
    }
    EXPECT_EQ(standin::records().dde_uninitializations, 0);
}

TEST_F(MainWindow, TrayMenuReturnsItsChoice)
{
    standin::script().cursor = POINT{600, 420};
    send(WM_TRAY_NOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN);  // dismissed: 0
    const standin::TrackPopupRecord &popup = standin::records().popups.at(0);
    EXPECT_EQ(popup.menu, tray_menu);
    EXPECT_EQ(popup.flags, static_cast<UINT>(TPM_RETURNCMD | TPM_NONOTIFY));
    EXPECT_EQ(popup.x, 600);
    EXPECT_EQ(popup.y, 420);
    EXPECT_EQ(popup.owner, main_window);
    EXPECT_FALSE(popup.has_rect);
    EXPECT_EQ(standin::records().sent.back().msg, static_cast<UINT>(WM_NULL));
    EXPECT_TRUE(standin::records().quit_codes.empty());

    standin::script().track_popup_result = IDM_TRAY_CLOSE;
    send(WM_TRAY_NOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN);
    EXPECT_EQ(standin::records().quit_codes, std::vector<int>{0});
    EXPECT_EQ(standin::records().dde_uninitializations, 1);
    EXPECT_FALSE(standin::window(main_window).destroyed);
}

TEST_F(MainWindow, WaitingCycleWithoutFeedClient)
{
    EXPECT_EQ(tick(7), (std::vector<int>{113, 114, 115, 113, 114, 115, 113}));
    const standin::NotifyRecord &last = standin::records().notify_icons.back();
    EXPECT_EQ(last.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(standin::icon_id(last.data.hIcon), 113);
    EXPECT_EQ(standin::window(main_window).small_icon, tray_icon_data.hIcon);
}

TEST_F(MainWindow, ConnectedCycleWhileAClientSocketExists)
{
    feed_client.socket = 42;
    feed_client.state = FEED_HANDSHAKING;
    EXPECT_EQ(tick(6), (std::vector<int>{101, 110, 111, 112, 101, 110}));
}

TEST_F(MainWindow, StateChangeContinuesFromTheSharedCounter)
{
    feed_client.socket = 42;
    EXPECT_EQ(tick(3), (std::vector<int>{101, 110, 111}));
    feed_client.socket = INVALID_SOCKET;
    // Counter 3 is past the waiting cycle: nothing loads for one tick.
    EXPECT_EQ(tick(3), (std::vector<int>{111, 113, 114}));
    feed_client.socket = 42;
    EXPECT_EQ(tick(3), (std::vector<int>{111, 112, 101}));
}

TEST_F(MainWindow, UnregisteredServiceNeverShowsConnected)
{
    // The DDE name was refused: the record stays in state 0 with no socket.
    feed_client.state = FEED_HANDSHAKING;
    EXPECT_EQ(tick(3), (std::vector<int>{113, 114, 115}));
}
