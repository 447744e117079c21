#include "test_support.h"

class StatusBoardTest : public ProgramTest {};

TEST_F(StatusBoardTest, ReplacesLine)
{
    print_status(2, "Last receieved: %s", "one");
    print_status(2, "Last receieved: %s", "two");
    EXPECT_EQ(status_line(2), "Last receieved: two");
}

// A visible window is invalidated, with erasing, once until its paint comes;
// a hidden one not at all (showing it paints it).
TEST_F(StatusBoardTest, InvalidatesAVisibleWindowOncePerPaint)
{
    start_program();
    const auto &invalidates = standin::records().invalidates;
    UpdateWindow(main_window);
    size_t before = invalidates.size();
    print_status(2, "Last receieved: %s", "one");
    print_status(2, "Last receieved: %s", "two");
    ASSERT_EQ(invalidates.size(), before + 1);
    EXPECT_EQ(invalidates.back().hwnd, main_window);
    EXPECT_FALSE(invalidates.back().has_rect);
    EXPECT_TRUE(invalidates.back().erase);

    UpdateWindow(main_window);  // the paint comes
    print_status(2, "Last receieved: %s", "three");
    EXPECT_EQ(invalidates.size(), before + 2);

    UpdateWindow(main_window);
    hide_main_window();
    print_status(2, "Last receieved: %s", "four");
    EXPECT_EQ(invalidates.size(), before + 2);
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

// A data request brings the lines on a visible window up to date at once; a
// window hidden in the tray is not painted until it is shown, and then shows
// the lines as they are.
struct WindowCase {
    const char *name;
    bool visible;
};

class DataRequestPaint : public ProgramTest, public testing::WithParamInterface<WindowCase> {};

TEST_P(DataRequestPaint, OnlyWhileTheWindowIsVisible)
{
    start_program();
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(sheet, "1234.lastprice", CF_TEXT));
    if (!GetParam().visible)
        hide_main_window();
    standin::records().texts.clear();
    standin::request(sheet, "1234.lastprice", CF_TEXT);
    const auto &texts = standin::records().texts;
    ASSERT_EQ(texts.size(), GetParam().visible ? 5u : 0u);
    if (GetParam().visible) {
        EXPECT_EQ(texts[1].text, "Number of fields: 1");
    }
    show_main_window();
    UpdateWindow(main_window);
    // The last paint, of the shown window, has line 3 as it is now.
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(texts[texts.size() - 2].text, "Dde last message: \"null\"");
}

INSTANTIATE_TEST_SUITE_P(Windows, DataRequestPaint,
                         testing::Values(WindowCase{"Visible", true}, WindowCase{"HiddenInTheTray", false}),
                         [](const testing::TestParamInfo<WindowCase> &info) { return info.param.name; });
