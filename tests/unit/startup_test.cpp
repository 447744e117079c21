#include "test_support.h"

#include "app/status_relay.h"

#include <algorithm>
#include <cstring>
#include <functional>

static HINSTANCE const INSTANCE = reinterpret_cast<HINSTANCE>(0x400000);

class Startup : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        register_main_window_class(INSTANCE);
    }
};

TEST_F(Startup, BringsEverythingUpInOrder)
{
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    const auto &r = standin::records();

    EXPECT_EQ(app_instance, INSTANCE);
    const standin::WindowRecord &window = standin::window(main_window);
    EXPECT_EQ(window.class_name, "VANTREL");
    EXPECT_EQ(window.title, "Quellvarden Vantrel");
    EXPECT_EQ(window.style, static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_EQ(window.x, CW_USEDEFAULT);
    EXPECT_EQ(window.width, 330);
    EXPECT_EQ(window.height, 145);
    EXPECT_EQ(window.menu, nullptr);
    EXPECT_EQ(tray_icon_data.hWnd, main_window);

    ASSERT_EQ(r.wsa_startups.size(), 1u);
    EXPECT_EQ(r.wsa_startups[0], 0x0202);
    ASSERT_EQ(r.binds.size(), 1u);
    EXPECT_EQ(r.binds[0].family, AF_INET);
    EXPECT_EQ(r.binds[0].address, htonl(0x7F000001));
    EXPECT_EQ(r.binds[0].port, htons(8902));
    EXPECT_EQ(r.binds[0].length, 16);
    ASSERT_EQ(r.async_selects.size(), 1u);
    EXPECT_EQ(r.async_selects[0].s, listen_socket);
    EXPECT_EQ(r.async_selects[0].hwnd, main_window);
    EXPECT_EQ(r.async_selects[0].msg, 1026u);
    EXPECT_EQ(r.async_selects[0].events, 59);
    ASSERT_EQ(r.listens.size(), 1u);
    EXPECT_EQ(r.listens[0].second, 5);

    EXPECT_EQ(r.show_commands.back(), SW_SHOWNORMAL);
    EXPECT_EQ(r.updates.size(), 1u);
    EXPECT_EQ(standin::lock_info(&registry_lock).spin_count, 1024u);
    EXPECT_TRUE(standin::service_registered("Quellvarden"));
    EXPECT_EQ(feed_client.state, FEED_NONE);
    ASSERT_EQ(r.timers.size(), 2u);
    EXPECT_EQ(r.timers[0].id, 1028u);
    EXPECT_EQ(r.timers[0].period, 1000u);
    EXPECT_EQ(r.timers[1].id, CLOCK_TIMER_ID);  // due at the next whole second
    EXPECT_TRUE(r.message_boxes.empty());
}

// The DDE service registered, and only then the feed record readied.
TEST_F(Startup, RegistersServiceAndReadiesTheFeedRecord)
{
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    EXPECT_TRUE(standin::service_registered("Quellvarden"));
    EXPECT_EQ(xltable_format, standin::clipboard_format("XlTable"));
    EXPECT_EQ(feed_client.state, FEED_NONE);
    const auto &strings = standin::records().string_handles;
    ASSERT_EQ(strings.size(), 2u);
    EXPECT_EQ(strings[0].codepage, CP_WINANSI);
    EXPECT_EQ(strings[1].text, "Quote");
    EXPECT_EQ(strings[1].codepage, 0);
}

// A refused DDE name leaves the feed record unready, and every client
// refused, unless the RTD server serves the spreadsheets instead.
struct RefusedNameCase {
    const char *name;
    bool rtd_serves;
};

class RefusedDdeName : public Startup, public testing::WithParamInterface<RefusedNameCase> {};

TEST_P(RefusedDdeName, FeedServesOnlyWhenTheRtdServerDoes)
{
    standin::script().name_service_fails = true;
    rtd_class_object_registers = GetParam().rtd_serves;
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    EXPECT_EQ(feed_client.state, GetParam().rtd_serves ? FEED_NONE : FEED_HANDSHAKING);
    EXPECT_EQ(feed_client.socket, INVALID_SOCKET);
    SOCKET client = connect_feed_client();
    EXPECT_EQ(standin::socket_state(client).open, GetParam().rtd_serves);
}

INSTANTIATE_TEST_SUITE_P(Faces, RefusedDdeName,
                         testing::Values(RefusedNameCase{"NoRtdServer", false},
                                         RefusedNameCase{"RtdServerServes", true}),
                         [](const testing::TestParamInfo<RefusedNameCase> &info) { return info.param.name; });

struct ComStartCase {
    const char *name;
    const char *command_line;
    bool com;
    const char *how;  // for the log
};

static const ComStartCase COM_START_CASES[] = {
    {"Dash", "-Embedding", true, "by COM"},
    {"Slash", "/Embedding", true, "by COM"},
    {"AnyLetterCase", "-EMBEDDING", true, "by COM"},
    {"AmongOthers", "  /x\t-embedding  ", true, "by COM"},
    {"None", "", false, "by hand"},
    {"Null", nullptr, false, "by hand"},
    {"Prefix", "-Embeddings", false, "by hand"},
    {"NoSwitchCharacter", "Embedding", false, "by hand"},
    {"Automation", "-Automation", false, "by hand"},
    {"RunValueAtLogon", "/logon", false, "at logon"},
    {"LogonInAnyLetterCase", "-LogOn", false, "at logon"},
    {"LogonPrefix", "/logons", false, "by hand"},
    {"ComBeforeLogon", "/logon -Embedding", true, "by COM"},
};

class ComStart : public testing::TestWithParam<ComStartCase> {};

TEST_P(ComStart, ReadsTheCommandLine)
{
    EXPECT_EQ(is_com_start(GetParam().command_line), GetParam().com);
    EXPECT_STREQ(how_started(GetParam().command_line), GetParam().how);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ComStart, testing::ValuesIn(COM_START_CASES),
                         [](const testing::TestParamInfo<ComStartCase> &info) { return info.param.name; });

// Started by COM, the program starts hidden in the tray, whatever the show
// command; with the port taken by a copy that runs, it ends without a box.
TEST_F(Startup, ComStartHidesTheWindowInTheTray)
{
    rtd_class_object_registers = true;
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL, true));
    EXPECT_EQ(standin::records().show_commands.back(), SW_HIDE);
    EXPECT_FALSE(standin::window(main_window).visible);
    EXPECT_TRUE(standin::tray_icon_shown(main_window, TRAY_ICON_ID));
}

// A copy that COM started and cannot serve shows no box (it would hold up
// Excel's activation) but says why in a balloon, which it lets show until
// its timer, then ends with its port and class object given back.
struct ComFailureCase {
    const char *name;
    std::function<void()> arrange;
};

class ComStartThatCannotServe : public Startup, public testing::WithParamInterface<ComFailureCase> {};

TEST_P(ComStartThatCannotServe, SaysWhyInABalloonThenEnds)
{
    rtd_class_object_registers = true;
    GetParam().arrange();
    standin::script().idle.push_back([] { ASSERT_TRUE(standin::timer_elapses(main_window, 1032)); });
    EXPECT_EQ(WinMain(INSTANCE, nullptr, const_cast<LPSTR>("-Embedding"), SW_SHOWDEFAULT), 0);
    const auto &r = standin::records();
    EXPECT_TRUE(r.message_boxes.empty());
    auto balloon =
        std::find_if(r.notify_icons.begin(), r.notify_icons.end(),
                     [](const standin::NotifyRecord &n) { return (n.data.uFlags & NIF_INFO) != 0; });
    ASSERT_NE(balloon, r.notify_icons.end());
    EXPECT_STREQ(balloon->data.szInfo, status_line(STATUS_ERROR).c_str());
    EXPECT_GT(std::strlen(balloon->data.szInfo), 0u);
    EXPECT_FALSE(standin::tray_icon_shown(main_window, TRAY_ICON_ID));
    EXPECT_EQ(r.wsa_cleanups, 1);
    EXPECT_TRUE(r.accelerators.empty()) << "the program's own loop never ran";
    EXPECT_EQ(rtd_com_ends, 1);
    // The log, written before the copy ends, says how it started and why it ends.
    const std::string log =
        standin::file_system().files[u"C:\\Users\\user\\AppData\\Local\\Quellvarden\\Vantrel\\vantrel.log"];
    EXPECT_NE(log.find(", started by COM\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Started by COM but cannot serve: " + status_line(STATUS_ERROR)), std::string::npos)
        << log;
    EXPECT_NE(log.find(" End: start-up failed\r\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ComStartThatCannotServe,
    testing::Values(ComFailureCase{"PortTaken", [] { standin::script().bind_error = WSAEADDRINUSE; }},
                    ComFailureCase{"ClassObjectRefused", [] { rtd_class_object_registers = false; }}),
    [](const testing::TestParamInfo<ComFailureCase> &info) { return info.param.name; });

// Without a notification area (no shell) there is no balloon to wait for.
TEST_F(Startup, ComStartThatCannotServeWithoutATrayEndsAtOnce)
{
    standin::script().bind_error = WSAEADDRINUSE;
    standin::script().notify_icon_result = FALSE;
    EXPECT_EQ(WinMain(INSTANCE, nullptr, const_cast<LPSTR>("-Embedding"), SW_SHOWDEFAULT), 0);
    EXPECT_TRUE(standin::records().message_boxes.empty());
}

// Only the copy that holds the port says where COM finds the program.
TEST_F(Startup, RtdKeysAreWrittenOnlyByTheCopyThatHoldsThePort)
{
    standin::script().bind_error = WSAEADDRINUSE;
    EXPECT_FALSE(init_instance(INSTANCE, SW_SHOWNORMAL));
    EXPECT_EQ(standin::records().registry_writes, 0);

    fresh_process();
    register_main_window_class(INSTANCE);
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    EXPECT_TRUE(standin::registry_value("Software\\Classes\\Quellvarden.Quote\\CLSID", ""));
}

TEST_F(Startup, EachFailingStepShowsItsBoxAndReleasesWhatItSays)
{
    struct Case {
        const char *name;
        std::function<void()> arrange;
        const char *text, *caption;
        int cleanups, closes;
        bool owned;     // the box belongs to the main window
        int rtd_stops;  // the class object revoked
    } cases[] = {
        {"window", [] { standin::script().create_window_fails = true; }, nullptr, nullptr, 0, 0, true, 0},
        {"wsastartup", [] { standin::script().wsa_startup_result = 10091 /* WSASYSNOTREADY */; },
         "WSAStartup failed", "error", 0, 0, true, 0},
        {"socket", [] { standin::script().socket_error = 10024 /* WSAEMFILE */; }, "Socket Error", "Error", 1,
         0, true, 0},
        {"bind", [] { standin::script().bind_error = WSAEADDRINUSE; }, "Bind Error. Program already running?",
         "Quellvarden Vantrel", 1, 0, true, 0},
        {"asyncselect", [] { standin::script().async_select_error = WSAEINVAL; }, "ASYNC FAIL", "ERROR", 1, 1,
         true, 0},
        {"lock", [] { standin::script().init_critical_section = FALSE; }, nullptr, nullptr, 0, 0, true, 0},
        // The DDE library: once the class object is registered, which the
        // start then revokes before it ends.
        {"ddeinitialize",
         [] {
             standin::script().dde_initialize_result = DMLERR_SYS_ERROR;
             standin::script().dde_failure_error = 0x4009;
         },
         "DDEInitialize error", "4009", 1, 1, false, 1},
        {"ddeservice", [] { standin::script().failing_strings = {"Quellvarden"}; }, "SERVICE FAIL", nullptr,
         1, 1, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fresh_process();
        register_main_window_class(INSTANCE);
        c.arrange();
        EXPECT_FALSE(init_instance(INSTANCE, SW_SHOWNORMAL));
        const auto &r = standin::records();
        if (c.text) {
            ASSERT_EQ(r.message_boxes.size(), 1u);
            EXPECT_EQ(r.message_boxes[0].owner, c.owned ? main_window : nullptr);
            EXPECT_NE(main_window, nullptr);
            EXPECT_EQ(r.message_boxes[0].text, c.text);
            if (c.caption) {
                EXPECT_EQ(r.message_boxes[0].caption, c.caption);
            }
            EXPECT_EQ(r.message_boxes[0].type, static_cast<UINT>(MB_OK));
            if (c.owned) {
                EXPECT_TRUE(r.show_commands.empty()) << "boxes come before the window is shown";
            }
        } else {
            EXPECT_TRUE(r.message_boxes.empty());
        }
        EXPECT_EQ(r.wsa_cleanups, c.cleanups);
        EXPECT_EQ(static_cast<int>(r.closed.size()), c.closes);
        EXPECT_TRUE(r.timers.empty());
        EXPECT_FALSE(standin::service_registered("Quellvarden"));
        EXPECT_EQ(rtd_server_stops, c.rtd_stops);
    }
}

TEST_F(Startup, SecondCopyEndsWithExitCodeZero)
{
    standin::script().bind_error = WSAEADDRINUSE;
    EXPECT_EQ(WinMain(INSTANCE, nullptr, nullptr, SW_SHOWDEFAULT), 0);
    EXPECT_EQ(standin::records().message_boxes.at(0).text, "Bind Error. Program already running?");
    EXPECT_TRUE(standin::records().accelerators.empty()) << "no message loop ran";
}

TEST_F(Startup, ShutdownWithdrawsEverythingButKeepsTheLockForTheLoop)
{
    ASSERT_TRUE(init_instance(INSTANCE, SW_SHOWNORMAL));
    shutdown_app();
    const auto &r = standin::records();
    ASSERT_FALSE(r.notify_icons.empty());
    EXPECT_EQ(r.notify_icons.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(r.notify_icons.back().data.uID, 103u);
    ASSERT_EQ(r.name_services.size(), 2u);
    EXPECT_EQ(r.name_services[1].service, "Quellvarden");
    EXPECT_EQ(r.name_services[1].command, static_cast<UINT>(DNS_UNREGISTER));
    EXPECT_EQ(r.dde_uninitializations, 1);
    EXPECT_EQ(r.quit_codes, std::vector<int>{0});
    EXPECT_FALSE(standin::lock_info(&registry_lock).deleted);
    EXPECT_TRUE(r.closed.empty()) << "sockets are left to the end of the process";
    EXPECT_EQ(r.wsa_cleanups, 0);
}

TEST_F(Startup, FileExitRunsTheLoopToExitCodeZero)
{
    standin::script().idle.push_back([] { PostMessageA(main_window, WM_COMMAND, IDM_EXIT, 0); });
    EXPECT_EQ(WinMain(INSTANCE, nullptr, nullptr, SW_SHOWDEFAULT), 0);
    const auto &r = standin::records();
    EXPECT_TRUE(standin::window(main_window).destroyed);
    EXPECT_EQ(r.dde_uninitializations, 1);
    EXPECT_TRUE(standin::lock_info(&registry_lock).deleted);
    ASSERT_FALSE(r.accelerators.empty());
    EXPECT_EQ(r.accelerators[0], MAKEINTRESOURCEA(109));
    EXPECT_FALSE(r.translated_accelerators.empty());
}

TEST_F(Startup, TrayCloseEndsWithoutDestroyingTheWindow)
{
    standin::script().track_popup_result = IDM_TRAY_CLOSE;
    standin::script().idle.push_back(
        [] { PostMessageA(main_window, WM_TRAY_NOTIFY, TRAY_ICON_ID, WM_RBUTTONDOWN); });
    EXPECT_EQ(WinMain(INSTANCE, nullptr, nullptr, SW_SHOWDEFAULT), 0);
    EXPECT_FALSE(standin::window(main_window).destroyed);
    EXPECT_EQ(standin::records().quit_codes, std::vector<int>{0});
    EXPECT_TRUE(standin::lock_info(&registry_lock).deleted);
}

TEST_F(Startup, WindowCloseFromOutsideEndsTheProgram)
{
    // What taskkill without /f sends.
    standin::script().idle.push_back([] { PostMessageA(main_window, WM_CLOSE, 0, 0); });
    EXPECT_EQ(WinMain(INSTANCE, nullptr, nullptr, SW_SHOWDEFAULT), 0);
    EXPECT_TRUE(standin::window(main_window).destroyed);
    EXPECT_FALSE(standin::service_registered("Quellvarden"));
}
