#include "test_support.h"

#include <algorithm>

class StatusBoardTest : public ProgramTest {};

TEST_F(StatusBoardTest, ReplacesLine)
{
    print_status(2, "Last receieved: %s", "one");
    print_status(2, "Last receieved: %s", "two");
    EXPECT_EQ(status_line(2), "Last receieved: two");
}

TEST_F(StatusBoardTest, LongTextIsCutTo254Characters)
{
    std::string message(400, 'x');
    print_status(2, "Last receieved: %s", message.c_str());
    EXPECT_EQ(status_line(2), ("Last receieved: " + message).substr(0, 254));
}

TEST_F(StatusBoardTest, LineOutsideZeroToFourIsIgnored)
{
    print_status(5, "nothing");
    print_status(-1, "nothing");
    for (int line = 0; line < STATUS_LINE_COUNT; ++line)
        EXPECT_EQ(status_line(line), "");
    EXPECT_TRUE(standin::records().invalidates.empty());
}

TEST_F(StatusBoardTest, PaintDrawsFiveLinesWithOneFont)
{
    print_status(0, "Status: Connected");
    print_status(4, "ADVSTOP:%llu", 1234ull);
    paint_status_lines();

    const auto &r = standin::records();
    ASSERT_EQ(r.fonts.size(), 1u);
    const standin::FontRecord &font = r.fonts[0];
    EXPECT_EQ(font.height, 16);
    EXPECT_EQ(font.weight, FW_NORMAL);
    EXPECT_EQ(font.charset, static_cast<DWORD>(ANSI_CHARSET));
    EXPECT_EQ(font.quality, static_cast<DWORD>(PROOF_QUALITY));
    EXPECT_EQ(font.face, "SYSTEM_FIXED_FONT");

    ASSERT_EQ(r.texts.size(), 5u);
    const char *expected[] = {"Status: Connected", "", "", "", "ADVSTOP:1234"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.texts[i].x, 5);
        EXPECT_EQ(r.texts[i].y, 5 + 15 * i);
        EXPECT_EQ(r.texts[i].text, expected[i]);
    }
    // The old font goes back in before the new one is deleted, and the DC is released.
    ASSERT_EQ(r.selects.size(), 2u);
    EXPECT_EQ(r.selects[0].object, reinterpret_cast<HGDIOBJ>(font.font));
    EXPECT_EQ(r.selects[1].object, r.selects[0].previous);
    ASSERT_EQ(r.deleted.size(), 1u);
    EXPECT_EQ(r.deleted[0], reinterpret_cast<HGDIOBJ>(font.font));
    EXPECT_EQ(r.get_dc, 1);
    EXPECT_EQ(r.release_dc, 1);
}

// While the window is visible the lines reach it at most once a frame, and a
// change is on it within one frame, whether the frame timer's WM_TIMER comes
// (a quiet moment) or a steady flow of posted messages holds it back. A
// hidden window is never painted; showing it paints the lines as they are.
struct FrameCase {
    const char *name;
    bool hidden;       // the window is in the tray while the lines change
    bool timer_comes;  // the frame timer's WM_TIMER is handled once it is due
    int every_ms;      // a change of line 2 every so many milliseconds
    int changes;
    bool data_requests;  // each change comes with a data request (line 3)
};

class StatusFrames : public ProgramTest, public testing::WithParamInterface<FrameCase> {
protected:
    ULONGLONG &now = standin::script().tick_count;
    ULONGLONG timer_due = 0;
    size_t timers_seen = 0;
    // The time and the line 2 of every drawing of the lines.
    std::vector<std::pair<ULONGLONG, std::string>> paints;
    size_t texts_seen = 0;

    // Notes a SetTimer of the frame timer, and the lines drawn since last time.
    void observe()
    {
        const auto &timers = standin::records().timers;
        for (; timers_seen < timers.size(); ++timers_seen)
            if (timers[timers_seen].id == STATUS_TIMER_ID)
                timer_due = now + timers[timers_seen].period;
        // Each drawing of the lines writes the five of them.
        const auto &texts = standin::records().texts;
        if (texts.size() != texts_seen) {
            texts_seen = texts.size();
            ASSERT_EQ(texts_seen % STATUS_LINE_COUNT, 0u);
            paints.emplace_back(now, texts[texts.size() - 3].text);
        }
    }

    void deliver_timer_if_due()
    {
        if (now >= timer_due && standin::timer_elapses(main_window, STATUS_TIMER_ID)) {
            standin::pump();
            observe();
        }
    }
};

TEST_P(StatusFrames, AtMostOnePaintAFrameShowingTheLatestText)
{
    const FrameCase &c = GetParam();
    ASSERT_TRUE(start_program());
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(sheet, "1234.lastprice", CF_TEXT));
    if (c.hidden)
        hide_main_window();
    observe();
    const size_t paints_before = paints.size();
    const int dcs_before = standin::records().get_dc;

    std::vector<std::pair<ULONGLONG, std::string>> written;
    for (int k = 0; k < c.changes; ++k) {
        now += static_cast<ULONGLONG>(c.every_ms);
        if (c.timer_comes)
            deliver_timer_if_due();
        written.emplace_back(now, "Last receieved: update " + std::to_string(k));
        print_status(STATUS_RECEIVED, "%s", written.back().second.c_str());
        if (c.data_requests)
            standin::request(sheet, "1234.lastprice", CF_TEXT);
        observe();
        if (c.hidden)
            continue;
        // The text on the window is at most one frame behind: the change after
        // the one it shows (the first, when it shows none) came less than a
        // frame ago.
        auto shown = std::find_if(written.rbegin(), written.rend(),
                                  [&](const auto &w) { return w.second == paints.back().second; });
        auto next = shown.base();
        ASSERT_TRUE(next == written.end() || next->first + STATUS_FRAME_MS > now)
            << "at change " << k << " the window still shows \"" << paints.back().second << '"';
    }
    for (size_t i = paints_before; i > 0 && i < paints.size(); ++i)
        EXPECT_GE(paints[i].first - paints[i - 1].first, STATUS_FRAME_MS) << "paint " << i;

    // The flow ends: the frame timer's WM_TIMER comes, and stops it.
    now += STATUS_FRAME_MS;
    deliver_timer_if_due();
    EXPECT_FALSE(standin::timer_running(main_window, STATUS_TIMER_ID));
    if (c.hidden) {
        EXPECT_EQ(paints.size(), paints_before);
        EXPECT_EQ(standin::records().get_dc, dcs_before);
        show_main_window();
        UpdateWindow(main_window);  // the paint the system sends a window that appears
        observe();
        ASSERT_EQ(paints.size(), paints_before + 1);
    }
    EXPECT_EQ(paints.back().second, written.back().second);
    EXPECT_LE(paints.size() - paints_before, (c.changes * c.every_ms + STATUS_FRAME_MS) / STATUS_FRAME_MS);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, StatusFrames,
    testing::Values(FrameCase{"ManyChangesWithinOneFrame", false, true, 0, 50, false},
                    FrameCase{"DataRequestsWithinOneFrame", false, true, 0, 50, true},
                    FrameCase{"QuietChangesEveryFewMilliseconds", false, true, 7, 40, false},
                    FrameCase{"SteadyFlowHoldingBackTheTimer", false, false, 1, 200, true},
                    FrameCase{"HiddenInTheTrayThenShown", true, true, 1, 100, true}),
    [](const testing::TestParamInfo<FrameCase> &info) { return info.param.name; });
