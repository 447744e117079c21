#include "rtd/rtd_value.h"

#include <gtest/gtest.h>

#include <string>

struct ValueCase {
    const char *name;
    bool has_value;
    std::string stored;
    bool is_number;
    double number;
    std::u16string text;
};

static const std::string X253(253, 'x');
static const std::u16string UX253(253, u'x');
static const std::string CHART = "\xF0\x9F\x93\x88";  // U+1F4C8, two UTF-16 units

static const ValueCase VALUE_CASES[] = {
    {"Number", true, "12.5", true, 12.5, u""},
    {"NumberAsXlTableReadsIt", true, "  0x10", true, 16, u""},
    {"NumberWithTrailingBlankIsText", true, "12.5 ", false, 0, u"12.5 "},
    {"InfinityIsText", true, "inf", false, 0, u"inf"},
    {"Text", true, "name 1234", false, 0, u"name 1234"},
    {"Utf8", true, "\xE6\x9D\xB1\xE4\xBA\xAC", false, 0, u"\u6771\u4EAC"},
    {"Utf8OutsideTheBasicPlane", true, CHART, false, 0, u"\U0001F4C8"},
    {"AnsiBytes", true, "Z\xFCrich \x80", false, 0, u"Z\u00FCrich \u20AC"},
    {"NoValueIsABlank", false, "", false, 0, u" "},
    {"Longest", true, X253 + "yz", false, 0, UX253 + u"yz"},
    {"CutAt255", true, X253 + "yz!", false, 0, UX253 + u"yz"},
    {"SurrogatePairAtTheCutIsDropped", true, X253 + "y" + CHART, false, 0, UX253 + u"y"},
    {"SurrogatePairJustFits", true, X253 + CHART + "z", false, 0, UX253 + u"\U0001F4C8"},
};

class RtdValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(RtdValueTest, NumberOrUtf16Text)
{
    const ValueCase &c = GetParam();
    RtdValue value;
    make_rtd_value(c.has_value ? c.stored.c_str() : nullptr, &value);
    ASSERT_EQ(value.is_number, c.is_number);
    if (c.is_number) {
        EXPECT_EQ(value.number, c.number);
        return;
    }
    ASSERT_LE(value.length, RTD_TEXT_MAX);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(value.text), value.length), c.text);
}

INSTANTIATE_TEST_SUITE_P(Values, RtdValueTest, testing::ValuesIn(VALUE_CASES),
                         [](const testing::TestParamInfo<ValueCase> &info) { return info.param.name; });
