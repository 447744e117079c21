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
