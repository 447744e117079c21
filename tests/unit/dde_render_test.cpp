#include "test_support.h"

#include <cmath>

class DdeRender : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        start_dde_side();
        item = standin::hsz("1234.lastprice");
    }
    std::string rendered(UINT format, const char *text)
    {
        HDDEDATA data = render_dde_data(format, item, text);
        EXPECT_NE(data, nullptr);
        return standin::data_bytes(data);
    }
    HSZ item = nullptr;
};

TEST_F(DdeRender, XlTableNumbersAndStrings)
{
    struct Case {
        const char *text;
        std::string bytes;
    } cases[] = {
        {"12.5", xltable_number(12.5)},
        {"  42", xltable_number(42)},
        {"-0.25e2", xltable_number(-25)},
        {"0x10", xltable_number(16)},
        {"12.5 ", xltable_string("12.5 ")},
        {"1,5", xltable_string("1,5")},
        {"n/a", xltable_string("n/a")},
        {" ", xltable_string(" ")},
        {"", xltable_string("")},
        // A cell cannot hold an infinity or a not-a-number: they go as text.
        {"inf", xltable_string("inf")},
        {"nan", xltable_string("nan")},
        {"1e999", xltable_string("1e999")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(rendered(xltable_format, c.text), c.bytes);
    }
    EXPECT_EQ(rendered(xltable_format, " ").size(), 14u);
    EXPECT_EQ(rendered(xltable_format, "12.5").size(), 20u);
}

TEST_F(DdeRender, XlTableStringStopsAt255Characters)
{
    std::string text(255, 'a');
    EXPECT_EQ(rendered(xltable_format, text.c_str()), xltable_string(text));
    std::string longer = text + "bcd";
    EXPECT_EQ(rendered(xltable_format, longer.c_str()), xltable_string(text));
}

TEST_F(DdeRender, FormatComparedOnLow16Bits)
{
    // Wine hands registered formats to the callback sign-extended.
    UINT sign_extended = 0xFFFF0000u | xltable_format;
    EXPECT_EQ(rendered(sign_extended, "12.5"), xltable_number(12.5));
    EXPECT_EQ(standin::records().data.back().format, xltable_format);
}

TEST_F(DdeRender, OtherFormatsGetTheTextWithItsNul)
{
    EXPECT_EQ(rendered(CF_TEXT, "12.5"), std::string("12.5\0", 5));
    EXPECT_EQ(rendered(0xC123, "n/a"), std::string("n/a\0", 4));
    const standin::DataRecord &last = standin::records().data.back();
    EXPECT_EQ(last.item, "1234.lastprice");
    EXPECT_EQ(last.flags, 0u);
}

TEST_F(DdeRender, NoTextNoHandle)
{
    EXPECT_EQ(render_dde_data(xltable_format, item, nullptr), nullptr);
    EXPECT_TRUE(standin::records().data.empty());
}

// A value as the registry keeps it, in each format a cell may ask for.
struct FormatCase {
    const char *name;
    std::string value;
    std::string ansi;     // what XlTable (cut to 255) and CF_TEXT carry
    std::u16string wide;  // what CF_UNICODETEXT carries
};

static const FormatCase FORMAT_CASES[] = {
    {"Ascii", "12,5 n/a", "12,5 n/a", u"12,5 n/a"},
    {"Latin1", "Z\xC3\xBCrich \xE2\x82\xAC", "Z\xFCrich \x80", u"Z\u00FCrich \u20AC"},
    {"OutsideTheCodePage", "\xE6\x9D\xB1\xE4\xBA\xAC", "??", u"\u6771\u4EAC"},
    {"NoBestFit", "\xE2\x88\x92"
                  "1",
     "?1", u"\u22121"},
    {"AnsiBytesFromAFeedThatSendsAnsi", "Z\xFCrich \x80", "Z\xFCrich \x80", u"Z\u00FCrich \u20AC"},
    {"Longest", std::string(1021, 'a') + "\xC3\xA9", std::string(1021, 'a') + "\xE9",
     std::u16string(1021, u'a') + u"\u00E9"},
    // Converted first, then cut: the 255th character is whole.
    {"XlTableCutBehindATwoByteCharacter", std::string(254, 'a') + "\xC3\xA9" + "bc",
     std::string(254, 'a') + "\xE9" + "bc", std::u16string(254, u'a') + u"\u00E9bc"},
};

class RenderFormats : public DdeRender, public testing::WithParamInterface<FormatCase> {};

TEST_P(RenderFormats, EachFormatCarriesTheValue)
{
    const FormatCase &c = GetParam();
    EXPECT_EQ(rendered(xltable_format, c.value.c_str()), xltable_string(c.ansi.substr(0, 255)));
    EXPECT_EQ(rendered(CF_TEXT, c.value.c_str()), c.ansi + '\0');
    std::string wide_bytes;
    for (char16_t unit : c.wide + u'\0') {
        wide_bytes += static_cast<char>(unit & 0xFF);
        wide_bytes += static_cast<char>(unit >> 8);
    }
    EXPECT_EQ(rendered(CF_UNICODETEXT, c.value.c_str()), wide_bytes);
}

INSTANTIATE_TEST_SUITE_P(Values, RenderFormats, testing::ValuesIn(FORMAT_CASES),
                         [](const testing::TestParamInfo<FormatCase> &info) { return info.param.name; });
